#pragma once
// The job settings file: where the disk's identity file lives and, per volume, what to copy where.
// The operator writes it by hand beside the program; it is read afresh for every run.
#include <string>
#include <vector>

#include "QorvLib/uQorvFiles.h"  // SplitList

namespace tavik {

// The program's own path with its extension replaced by (or, without one, extended with) ".ini".
std::string JobSettingsPath();
std::string JobSettingsPathFor(const std::string& executablePath);
// The error line of a run, and the pre-check's failure, when the job file is not there.
std::string JobSettingsNotFound(const std::string& path);

inline constexpr int DefaultMaxImageAgeHours = 48;

// One volume of the job: entry i of "Source", "Destination" and the volume list.
struct TVolumeJob {
  std::string Source;
  std::string Destination;
  std::string Volume;
  bool HasDestination = false;  // false when "Destination" has fewer entries than "Source"
  bool HasVolume = false;       // the same for the volume list
  // The job's limit, the same for every volume; 0 (no limit) unless read from a job file.
  int MaxImageAgeHours = 0;
  // Both partners are there and not empty; whether the source folder exists is the run's test.
  bool Complete() const { return HasDestination && HasVolume && !Destination.empty() && !Volume.empty(); }
};

// Every key the job file's section may hold, and which of them a working job needs ("Volume" may
// be written "Volumne").
const std::vector<std::string>& JobSettingKeys();
const std::vector<std::string>& RequiredJobSettingKeys();

class TJobSettings {
 public:
  explicit TJobSettings(std::string path = JobSettingsPath());
  const std::string& Path() const { return path_; }

  // The identity file's folder with its trailing separator; empty when the key is empty.
  std::string IDPath() const;
  std::vector<std::string> Sources() const;
  std::vector<std::string> Destinations() const;
  // "Volume", or "Volumne" when "Volume" yields nothing but blanks; the two are never merged.
  std::vector<std::string> Volumes() const;
  // Reads "Destination", the volume list and "Source" in that order and pairs them by position;
  // one entry per "Source" entry.
  std::vector<TVolumeJob> VolumeJobs() const;
  // "VerifyCopies": every copy is read back from the disk and compared before it takes its
  // name. Off unless the key holds a number other than 0.
  bool VerifyCopies() const;
  // "SystemDiskAllowed": IDPath may be a folder of the system disk without an identity file (a
  // folder used as the disk on purpose). Off unless the key holds a number other than 0.
  bool SystemDiskAllowed() const;
  // "MaxImageAgeHours": a chain whose newest image is older is an error (the imaging stopped);
  // 0 switches the check off; DefaultMaxImageAgeHours when the key is absent or no number.
  int MaxImageAgeHours() const;

 private:
  std::string Read(const std::string& key) const;
  std::string path_;
};

}  // namespace tavik
