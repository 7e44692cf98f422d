#include "core/uJobSettings.h"

#include "QorvLib/uQorvFiles.h"
#include "platform/uIniFile.h"
#include "platform/uSystem.h"

namespace tavik {

namespace {
const char* const MainSection = "Main";
}  // namespace

std::string JobSettingsPathFor(const std::string& executablePath) {
  return ChangeFileExt(executablePath, ".ini");
}

std::string JobSettingsNotFound(const std::string& path) {
  return "Job settings file " + path + " not found";
}

const std::vector<std::string>& JobSettingKeys() {
  static const std::vector<std::string> keys = {
      "IDPath",  "Source",       "Destination",       "Volume",
      "Volumne", "VerifyCopies", "SystemDiskAllowed", "MaxImageAgeHours"};
  return keys;
}

const std::vector<std::string>& RequiredJobSettingKeys() {
  static const std::vector<std::string> keys = {"IDPath", "Source", "Destination", "Volume"};
  return keys;
}

std::string JobSettingsPath() {
  return JobSettingsPathFor(ExecutablePath());
}

TJobSettings::TJobSettings(std::string path) : path_(std::move(path)) {}

std::string TJobSettings::Read(const std::string& key) const {
  return ReadProfileString(path_, MainSection, key, "");
}

bool TJobSettings::VerifyCopies() const {
  return TextToInt64(Read("VerifyCopies")) != 0;
}

bool TJobSettings::SystemDiskAllowed() const {
  return TextToInt64(Read("SystemDiskAllowed")) != 0;
}

int TJobSettings::MaxImageAgeHours() const {
  const std::string text = Trim(Read("MaxImageAgeHours"));
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
    return DefaultMaxImageAgeHours;
  return static_cast<int>(TextToInt64(text));
}

std::string TJobSettings::IDPath() const {
  std::string p = Read("IDPath");
  return p.empty() ? p : IncludeTrailingSeparator(p);
}

std::vector<std::string> TJobSettings::Sources() const {
  return SplitList(Read("Source"));
}

std::vector<std::string> TJobSettings::Destinations() const {
  return SplitList(Read("Destination"));
}

std::vector<std::string> TJobSettings::Volumes() const {
  std::vector<std::string> volumes = SplitList(Read("Volume"));
  std::string joined;
  for (const std::string& v : volumes) joined += v + "\r\n";
  if (Trim(joined).empty()) volumes = SplitList(Read("Volumne"));
  return volumes;
}

std::vector<TVolumeJob> TJobSettings::VolumeJobs() const {
  const std::vector<std::string> destinations = Destinations();
  const std::vector<std::string> volumes = Volumes();
  const std::vector<std::string> sources = Sources();
  const int maxAge = MaxImageAgeHours();
  std::vector<TVolumeJob> jobs;
  jobs.reserve(sources.size());
  for (size_t i = 0; i < sources.size(); ++i) {
    TVolumeJob job;
    job.Source = sources[i];
    job.HasDestination = i < destinations.size();
    if (job.HasDestination) job.Destination = destinations[i];
    job.HasVolume = i < volumes.size();
    if (job.HasVolume) job.Volume = volumes[i];
    job.MaxImageAgeHours = maxAge;
    jobs.push_back(std::move(job));
  }
  return jobs;
}

}  // namespace tavik
