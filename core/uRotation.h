#pragma once
// The rotation of one volume onto the backup disk: the destination ends up holding the newest
// full image of the volume with its own incrementals and checksum files, and nothing older.
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "QorvLib/uQorvFileCopier.h"
#include "core/uJobSettings.h"
#include "platform/uClock.h"

namespace tavik {

class TNotifier;
struct TRunOutput;

// The full path of the newest regular file matching mask, empty when none matches. Times are
// compared in universal time at two-second resolution; of several equally new files the first
// listed wins.
std::string FindLatestFile(const std::string& mask);

// The backup disk went away during the run; what() is the run's error line.
class EDiskGone : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The backup disk as the run found it. A disk pulled mid-run leaves its mount point an empty
// folder of the system disk: every later folder, copy or deletion would land there, so each of
// them first makes sure that IDPath and the volume's destination are still on their devices.
class TDiskWatch {
 public:
  // idPath may be empty (no identity folder configured): the destinations are watched alone.
  explicit TDiskWatch(const std::string& idPath);
  // The run's destinations, taken as they are when the volumes begin: each, or the folder it
  // would be made in, lies on the disk then.
  void WatchDestinations(const std::vector<std::string>& destinations);
  // The destination of the volume in hand, taken as it is now, whether it exists yet or not.
  void BeginVolume(const std::string& destination);
  // Throws EDiskGone when either has gone or moved to another device, or when the destination
  // (or the folder it would be made in) is no longer on the device it was on when the volumes
  // began: a destination made below an empty mount point would fill the system disk.
  void Check() const;

 private:
  [[noreturn]] void Gone() const;

  std::string idPath_, dest_;
  // The devices (Windows: the volumes' serial numbers) they were on.
  uint64_t idDev_ = 0, destDev_ = 0, expectedDev_ = 0;
  bool idKnown_ = false, destKnown_ = false, expected_ = false;
  std::map<std::string, uint64_t> startDevs_;
};

// Every change the rotation makes to the disk goes through one of these. A run acts; a check only
// records what would be done, so the plan it shows comes from the very decisions a run makes.
struct TRotationActions {
  // 0, or the errno of a deletion that failed.
  virtual int Delete(const std::string& path) = 0;
  // source into folder (given with its separator), as the copier copies it.
  virtual TCopyResult Copy(TQorvFileCopier& fc, const std::string& source, const std::string& folder) = 0;
  // Whether folder is there afterwards (or would be).
  virtual bool CreateFolder(const std::string& folder, int mode) = 0;
  // False for actions that only tell what they would do: nothing else may then change the disk.
  virtual bool ChangesTheDisk() const { return true; }
  virtual ~TRotationActions() = default;
};
// The actions of a run: they change the disk.
TRotationActions& DiskActions();

// Brings job's destination up to date with the newest chain in its source. Missing folders and
// entries, and a file the copier did not copy, end the volume with an error line; any failure
// raised (a source that cannot be opened, say) is passed on and ends the volume. With a watch,
// a disk gone raises EDiskGone before anything more is created, copied or deleted.
// Returns when the source's newest image of the chain was written, when the source was read.
std::optional<TDateTime> RotateVolume(TRunOutput& out, TQorvFileCopier& fc, const TNotifier& notifier,
                                      const TVolumeJob& job, TDiskWatch* disk = nullptr,
                                      TRotationActions& acts = DiskActions());

// Which volumes may not run, each with its error line: a destination that is, lies inside or
// contains any volume's source folder; a destination an earlier volume already uses. Folders
// are compared as they are on disk (absolute, links followed), however the job writes them.
std::vector<bool> RefuseOverlappingFolders(TRunOutput& out, const std::vector<TVolumeJob>& jobs);

}  // namespace tavik
