#include "app/uRotation.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <filesystem>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvFiles.h"
#include "app/uRunOutput.h"
#include "notify/uNotifier.h"
#include "platform/uErrors.h"

namespace tavik {

namespace {

// Backup disks often keep modification times to two seconds only; at that resolution an image
// and its copy are equally new, and a floor keeps odd seconds with the even one before them.
int64_t TwoSecondSlot(int64_t utcSeconds) {
  const int64_t local =
      utcSeconds + ToLocal(TClock::from_time_t(static_cast<time_t>(utcSeconds))).gmtOffsetSeconds;
  return local >= 0 ? local / 2 : -((1 - local) / 2);
}

std::vector<std::string> Listed(const std::string& mask) {
  std::vector<std::string> files;
  FindFiles(mask, &files, faAnyFile, false);
  return files;
}

// Logs before the attempt so a deletion that fails silently still shows it was tried.
void DeleteLogged(TRunOutput& out, const std::string& before, const std::string& path) {
  out.LogLine(before + path, false);
  if (::unlink(path.c_str()) == 0) out.LogLine("File deleted " + path, false);
}

const char* OutcomeText(TCopyResult r) {
  switch (r) {
    case crAborted:
      return "aborted";
    case crIgnored:
      return "ignored";
    default:
      return "skipped";
  }
}

// The bar goes back to 0 after every copy, also one that fails half way.
struct TProgReset {
  TProgressTarget& prog;
  ~TProgReset() { prog.SetPosition(0); }
};

// Copies source into folder. A copy the copier gave up on (the operator's Abort or Ignore,
// or a hook's skip) is a failed volume, never a "File copied".
bool CopyLogged(TRunOutput& out, TQorvFileCopier& fc, const std::string& source, const std::string& folder) {
  out.LogLine("File copying " + source + " to " + folder, false);
  TProgReset reset{out.Prog()};
  const TCopyResult r = fc.CopyFileTo(source, folder);
  if (r != crCopied) {
    const std::string why = fc.LastErrorText().empty() ? "" : ": " + fc.LastErrorText();
    out.LogLine("File not copied " + source + " to " + folder + " (" + OutcomeText(r) + why + ")", true);
    return false;
  }
  out.LogLine("File copied " + source + " to " + folder, false);
  return true;
}

// A temporary copy is only ever in use while its run holds the run lock, which this run does:
// whatever is left was cut short by a crash, a kill or a pulled disk, and would otherwise stay.
void RemoveTemporaryCopies(TRunOutput& out, const std::string& folder) {
  for (const TFoundFile& f : ListFiles(folder + "*")) {
    if (!TQorvFileCopier::IsPartialName(f.name)) continue;
    const std::string path = folder + f.name;
    if (::unlink(path.c_str()) == 0)
      out.LogLine("Temporary copy deleted " + path, false);
    else
      out.LogLine("Temporary copy not deleted " + path + ": " + SysErrorMessage(errno), false);
  }
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// Whether folder's file system has room for bytes more, with 1% to spare.
bool RoomFor(const std::string& folder, int64_t bytes) {
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) != 0) return false;
  const unsigned long long free = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
  return free >= static_cast<unsigned long long>(bytes) + static_cast<unsigned long long>(bytes) / 100;
}

// Opening a FIFO would wait for ever and a device is no image: either is skipped, as an error.
void LogNotAFile(TRunOutput& out, const std::string& path) {
  out.LogLine("File skipped " + path + ": " + TQorvFileCopier::NotRegularFileText, true);
}

// Whether folder holds a file named name, letter case aside.
bool HoldsFile(const std::string& folder, const std::string& name) {
  if (FileExists(folder + name)) return true;
  for (const TFoundFile& f : ListFiles(folder + "*"))
    if (SameText(f.name, name)) return true;
  return false;
}

// What a destination entry names on disk: absolute, normal, links followed where they exist.
std::string ResolvedFolder(const std::string& folder) {
  std::error_code ec;
  const std::filesystem::path p =
      std::filesystem::weakly_canonical(std::filesystem::absolute(folder, ec), ec);
  if (ec) return ExpandFileName(folder);
  std::string r = p.string();
  if (r.size() > 1 && r.back() == PathDelim) r.pop_back();
  return r;
}

}  // namespace

std::string FindLatestFile(const std::string& mask) {
  std::string latest;
  int64_t latestSlot = 0;
  for (const TFoundFile& f : ListFiles(mask)) {
    if (!f.regular) continue;
    const int64_t slot = TwoSecondSlot(f.mtimeSec);
    if (latest.empty() || slot > latestSlot) {
      latest = f.name;
      latestSlot = slot;
    }
  }
  return latest.empty() ? latest : ExtractFilePath(mask) + latest;
}

void RotateVolume(TRunOutput& out, TQorvFileCopier& fc, const TNotifier& notifier, const TVolumeJob& job) {
  const std::string& S = job.Source;
  const std::string& D = job.Destination;
  const std::string& V = job.Volume;
  if (!FolderExists(S)) {
    out.LogLine("Source Directory " + S + " not found", true);
    return;
  }
  if (!job.Complete()) {
    out.LogLine("Volumne or Destination missing from ini file for source " + S, true);
    return;
  }
  out.LogLine("Processing Volume " + V + " ....", false);
  // A FIFO or device named like a full image is never the latest; the operator hears of it.
  for (const TFoundFile& f : ListFiles(IncludeTrailingSeparator(S) + V + "*.spf"))
    if (!f.regular) LogNotAFile(out, IncludeTrailingSeparator(S) + f.name);

  const std::string latest = FindLatestFile(IncludeTrailingSeparator(S) + V + "*.spf");
  if (latest.empty()) {
    // Without a full image there is no chain to keep: sweeping would empty the destination.
    out.LogLine("No full backup " + V + "*.spf found in " + S + ", nothing deleted or copied in " + D, false);
    return;
  }
  out.LogLine("Latest .spf file " + V + " ....", false);
  out.LogLine("Latest .spf file " + latest + " found in " + S, false);
  const std::string latestName = ExtractFileName(latest);
  const std::string chainName = ChangeFileExt(latestName, "");
  const std::string chainBase = ChangeFileExt(latest, "");

  if (notifier.CreateDestFolder && !FolderExists(D)) ForceFolders(D, CreatedFolderMode(S));
  if (!FolderExists(D)) {
    out.LogLine("Destination Directory " + D + " not found", true);
    return;
  }
  const std::string destFolder = IncludeTrailingSeparator(D);
  RemoveTemporaryCopies(out, destFolder);

  const std::vector<std::string> fulls = Listed(destFolder + V + "*.spf");
  out.ShowStatus("Checking destination folders full backups. " + std::to_string(fulls.size()) +
                 " full backups to check.");
  std::vector<std::string> older;
  bool latestPresent = false;
  for (const std::string& f : fulls) {
    if (SameText(ExtractFileName(f), latestName))
      latestPresent = true;
    else
      older.push_back(f);
  }

  // Deleting the old chain first leaves the disk without any restorable chain of the volume
  // whenever the copy then fails; where the disk holds both, the old one goes only after the
  // new full image is in place.
  const bool copyFirst = !latestPresent && !older.empty() && RoomFor(D, FileSize(latest));
  if (!latestPresent && !older.empty() && !copyFirst)
    out.LogLine("Not enough room on " + D + " for both chains: the older chain is deleted first", false);
  if (!copyFirst)
    for (const std::string& f : older) DeleteLogged(out, "File deleting ", f);
  if (!latestPresent) {
    out.ShowStatus("Copy latest full backup.");
    if (!CopyLogged(out, fc, latest, D)) return;
  }
  if (copyFirst)
    for (const std::string& f : older) DeleteLogged(out, "File deleting ", f);

  out.LogLine("Searching for .spi and .md5 files in " + D, false);
  std::vector<std::string> stale = Listed(destFolder + "*.spi");
  out.ShowStatus("Checking destination for old incrementals to remove. " + std::to_string(stale.size()) +
                 " increments to check.");
  FindFiles(destFolder + "*.md5", &stale, faAnyFile, false);
  for (const std::string& f : stale) {
    const std::string stem = ChangeFileExt(ExtractFileName(f), "");
    if (!SameText(stem.substr(0, chainName.size()), chainName)) DeleteLogged(out, "Delete file ", f);
  }

  out.LogLine("Searching for new incrementals", false);
  std::vector<std::string> fresh = Listed(chainBase + "*.spi");
  out.ShowStatus("Found a possible " + std::to_string(fresh.size()) +
                 " incrementals to copy. Copying ones that do not exist.");
  FindFiles(chainBase + "*.md5", &fresh, faAnyFile, false);
  std::stable_sort(fresh.begin(), fresh.end(),
                   [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
  for (const std::string& f : fresh) {
    if (HoldsFile(destFolder, ExtractFileName(f))) continue;
    struct stat st {};
    if (::stat(f.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      LogNotAFile(out, f);
      continue;
    }
    if (!CopyLogged(out, fc, f, destFolder)) return;
  }

  out.LogLine("Completed Sucessfully", false);
}

void ReportSharedDestinations(TRunOutput& out, const std::vector<TVolumeJob>& jobs) {
  std::vector<std::string> resolved;
  for (const TVolumeJob& j : jobs) resolved.push_back(j.Complete() ? ResolvedFolder(j.Destination) : "");
  for (size_t later = 0; later < jobs.size(); ++later) {
    if (resolved[later].empty()) continue;
    for (size_t first = 0; first < later; ++first) {
      if (resolved[first] != resolved[later]) continue;
      const TVolumeJob& a = jobs[first];
      const TVolumeJob& b = jobs[later];
      std::string folder = a.Destination;
      if (b.Destination != a.Destination) folder += " (also written " + b.Destination + ")";
      out.LogLine("Destination Directory " + folder + " is shared by volume " + a.Volume + " (source " +
                      a.Source + ") and volume " + b.Volume + " (source " + b.Source +
                      "); a destination folder must belong to one volume only",
                  true);
      break;
    }
  }
}

}  // namespace tavik
