#include "core/uRotation.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <unordered_map>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvFiles.h"
#include "core/uManifest.h"
#include "core/uRunOutput.h"
#include "notify/uNotifier.h"
#include "platform/uErrors.h"

namespace tavik {

namespace {

// Backup disks often keep modification times to two seconds only; at that resolution an image
// and its copy are equally new, and a floor keeps odd seconds with the even one before them.
// Universal seconds, so that the hour repeated when the clocks go back cannot make the older
// of two images look newer.
int64_t TwoSecondSlot(int64_t utcSeconds) {
  return utcSeconds >= 0 ? utcSeconds / 2 : -((1 - utcSeconds) / 2);
}

// Logs before the attempt so a deletion that fails still shows it was tried; the failure is an
// error, for the disk then holds both chains, or a chain that was to go.
bool DeleteLogged(TRunOutput& out, TRotationActions& acts, const TDiskWatch* disk, const std::string& before,
                  const std::string& path) {
  if (disk) disk->Check();
  out.LogLine(before + path, false);
  if (const int err = acts.Delete(path); err != 0) {
    out.LogLine("File not deleted " + path + ": " + SysErrorMessage(err), true);
    return false;
  }
  out.LogLine("File deleted " + path, false);
  return true;
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
bool CopyLogged(TRunOutput& out, TRotationActions& acts, const TDiskWatch* disk, TQorvFileCopier& fc,
                const std::string& source, const std::string& folder) {
  if (disk) disk->Check();
  out.LogLine("File copying " + source + " to " + folder, false);
  TProgReset reset{out.Prog()};
  TCopyResult r = crSkipped;
  try {
    // With its separator: a folder gone by now is an error, never a file name.
    r = acts.Copy(fc, source, IncludeTrailingSeparator(folder));
  } catch (const EDiskGone&) {
    throw;
  } catch (const std::exception&) {
    // A disk pulled during the copy fails the copy first; that the disk is gone is what counts.
    if (disk) disk->Check();
    throw;
  }
  if (r != crCopied && disk) disk->Check();
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
void RemoveTemporaryCopies(TRunOutput& out, TRotationActions& acts, const std::string& folder,
                           std::vector<TFoundFile>& files) {
  std::erase_if(files, [&](const TFoundFile& f) {
    if (!TQorvFileCopier::IsPartialName(f.name)) return false;
    const std::string path = folder + f.name;
    if (const int err = acts.Delete(path); err == 0)
      out.LogLine("Temporary copy deleted " + path, false);
    else
      out.LogLine("Temporary copy not deleted " + path + ": " + SysErrorMessage(err), false);
    return true;
  });
}

// Free bytes of folder's file system; 0 when it cannot be told. A folder only planned (a check
// does not make it) is measured where it would be made.
int64_t FreeBytes(std::string folder) {
  struct statvfs fs {};
  while (::statvfs(folder.c_str(), &fs) != 0) {
    const std::string parent = ExtractFilePath(RemoveTrailingSeparator(folder));
    if (errno != ENOENT || parent.empty() || parent == folder) return 0;
    folder = parent;
  }
  return static_cast<int64_t>(static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize);
}

// An image needs its own size and 1% to spare.
int64_t Needed(int64_t bytes) {
  return bytes + bytes / 100;
}

// The size of a file on the disk, links not followed; 0 when it cannot be told.
int64_t SizeOnDisk(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// Whether the disk's file is a whole copy of a source of size bytes: a regular file of that size.
// A link planted under the name is no copy, wherever it points.
bool WholeCopy(const std::string& path, int64_t size) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && static_cast<int64_t>(st.st_size) == size;
}

// A FIFO or a device is no image, and opening a FIFO would wait for ever; an entry that cannot be
// examined (a dangling or looping link) is none either: each is skipped, as an error.
void LogSkipped(TRunOutput& out, const std::string& path, const TFoundFile& f) {
  out.LogLine(
      "File skipped " + path + ": " +
          (f.statErr != 0 ? SysErrorMessage(f.statErr) : std::string(TQorvFileCopier::NotRegularFileText)),
      true);
}

// The paths of the listed files whose names match pattern, in listing order.
std::vector<std::string> Matching(const std::string& folder, const std::vector<TFoundFile>& files,
                                  const std::string& pattern) {
  std::vector<std::string> r;
  for (const TFoundFile& f : files)
    if (MatchesMask(f.name, pattern)) r.push_back(folder + f.name);
  return r;
}

// The newest regular file matching pattern; of equally new ones the first listed.
const TFoundFile* LatestOf(const std::vector<TFoundFile>& files, const std::string& pattern) {
  const TFoundFile* latest = nullptr;
  int64_t latestSlot = 0;
  for (const TFoundFile& f : files) {
    if (!f.regular || !MatchesMask(f.name, pattern)) continue;
    const int64_t slot = TwoSecondSlot(f.mtimeSec);
    if (!latest || slot > latestSlot) {
      latest = &f;
      latestSlot = slot;
    }
  }
  return latest;
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

struct TDiskActions : TRotationActions {
  int Delete(const std::string& path) override { return ::unlink(path.c_str()) == 0 ? 0 : errno; }
  TCopyResult Copy(TQorvFileCopier& fc, const std::string& source, const std::string& folder) override {
    return fc.CopyFileTo(source, folder);
  }
  bool CreateFolder(const std::string& folder, int mode) override {
    ForceFolders(folder, mode);
    return FolderExists(folder);
  }
};

}  // namespace

TRotationActions& DiskActions() {
  static TDiskActions acts;
  return acts;
}

std::string FindLatestFile(const std::string& mask) {
  const std::vector<TFoundFile> files = ListFiles(mask);
  const TFoundFile* latest = LatestOf(files, "*");
  return latest ? ExtractFilePath(mask) + latest->name : std::string();
}

TDiskWatch::TDiskWatch(const std::string& idPath) : idPath_(idPath) {
  struct stat st {};
  idKnown_ = !idPath.empty() && ::stat(idPath.c_str(), &st) == 0;
  if (idKnown_) idDev_ = st.st_dev;
}

void TDiskWatch::BeginVolume(const std::string& destination) {
  struct stat st {};
  dest_ = destination;
  destKnown_ = !destination.empty() && ::stat(destination.c_str(), &st) == 0;
  if (destKnown_) destDev_ = st.st_dev;
}

void TDiskWatch::Check() const {
  auto still = [](const std::string& folder, dev_t dev) {
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == dev;
  };
  if ((idKnown_ && !still(idPath_, idDev_)) || (destKnown_ && !still(dest_, destDev_)))
    throw EDiskGone("Backup disk at " + RemoveTrailingSeparator(idKnown_ ? idPath_ : dest_) +
                    " is gone: the run stops");
}

void RotateVolume(TRunOutput& out, TQorvFileCopier& fc, const TNotifier& notifier, const TVolumeJob& job,
                  TDiskWatch* disk, TRotationActions& acts) {
  const std::string& S = job.Source;
  const std::string& D = job.Destination;
  const std::string& V = job.Volume;
  if (disk) {
    disk->BeginVolume("");
    disk->Check();
  }
  if (!FolderExists(S)) {
    out.LogLine("Source Directory " + S + " not found", true);
    return;
  }
  if (!job.Complete()) {
    out.LogLine("Volumne or Destination missing from ini file for source " + S, true);
    return;
  }
  out.LogLine("Processing Volume " + V + " ....", false);
  // Each folder is listed once per volume and the listing kept current by hand: a chain of
  // thousands of incrementals must not cost a listing per file.
  const std::string sourceFolder = IncludeTrailingSeparator(S);
  int listErr = 0;
  std::vector<TFoundFile> sourceFiles = ListFiles(sourceFolder + "*", false, &listErr);
  if (listErr != 0) {
    // Not "no full backup": the folder may be full of them.
    out.LogLine("Cannot list " + S + ": " + SysErrorMessage(listErr), true);
    return;
  }
  // Only the full images' times and sizes count.
  for (TFoundFile& f : sourceFiles) {
    if (f.statErr != 0 || !MatchesMask(f.name, V + "*.spf")) continue;
    struct stat st {};
    if (::stat((sourceFolder + f.name).c_str(), &st) != 0) {
      f.statErr = errno;
      f.regular = false;
      continue;
    }
    f.mtimeSec = static_cast<int64_t>(st.st_mtime);
    f.size = static_cast<int64_t>(st.st_size);
    f.regular = S_ISREG(st.st_mode);
  }
  // A FIFO, a device or a dangling link named like a full image is never the latest; the
  // operator hears of it.
  for (const TFoundFile& f : sourceFiles)
    if (!f.regular && MatchesMask(f.name, V + "*.spf")) LogSkipped(out, sourceFolder + f.name, f);

  const TFoundFile* latestFile = LatestOf(sourceFiles, V + "*.spf");
  if (!latestFile) {
    // Without a full image there is no chain to keep: sweeping would empty the destination. A
    // source share that is not mounted, or an imaging product that stopped, looks like this.
    out.LogLine("No full backup " + V + "*.spf found in " + S + ", nothing deleted or copied in " + D, true);
    return;
  }
  const std::string latest = sourceFolder + latestFile->name;
  out.LogLine("Latest .spf file " + V + " ....", false);
  out.LogLine("Latest .spf file " + latest + " found in " + S, false);
  const std::string& latestName = latestFile->name;
  const std::string chainName = ChangeFileExt(latestName, "");

  bool destThere = FolderExists(D);
  if (notifier.CreateDestFolder && !destThere) {
    if (disk) disk->Check();
    destThere = acts.CreateFolder(D, CreatedFolderMode(S));
  }
  if (!destThere) {
    out.LogLine("Destination Directory " + D + " not found", true);
    return;
  }
  if (disk) {
    disk->BeginVolume(D);
    disk->Check();
  }
  const std::string destFolder = IncludeTrailingSeparator(D);
  // Copies are renamed into place without a flush of the folder each; one flush when the volume
  // ends settles them all. A crash before it can only leave a temporary name, which the next
  // run deletes.
  struct TFlushAtEnd {
    const std::string& folder;
    ~TFlushAtEnd() { TQorvFileCopier::FlushFolder(folder); }
  } flushAtEnd{destFolder};
  struct TRestore {
    TQorvFileCopier& fc;
    bool flushEach;
    std::function<void()> check;
    ~TRestore() {
      fc.FlushFolderEachCopy = flushEach;
      fc.CheckDestination = check;
    }
  } restore{fc, fc.FlushFolderEachCopy, fc.CheckDestination};
  fc.FlushFolderEachCopy = false;
  if (disk) fc.CheckDestination = [disk] { disk->Check(); };

  std::vector<TFoundFile> destFiles = ListFiles(destFolder + "*", false);
  RemoveTemporaryCopies(out, acts, destFolder, destFiles);
  // A plan reads the manifest as the run would (a manifest that cannot be read is its error too)
  // but never writes it.
  TManifestKeeper manifest(out, fc, destFolder, V, acts.ChangesTheDisk());
  // The destination's names, folded, for the case-blind "already there" test, with the name
  // each has on the disk.
  std::unordered_map<std::string, std::string> held;
  for (const TFoundFile& f : destFiles) held.emplace(LowerCase(f.name), f.name);
  auto deleted = [&](const std::string& path) { held.erase(LowerCase(ExtractFileName(path))); };
  // A file under its source's name that is not its size (cut short before copies were whole,
  // or a link planted there) is copied again through the temporary name.
  auto heldWhole = [&](const std::string& folded, const std::string& source, int64_t size) {
    const auto it = held.find(folded);
    if (it == held.end()) return false;
    struct stat st {};
    if (size < 0) size = ::stat(source.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    if (WholeCopy(destFolder + it->second, size)) return true;
    out.LogLine("File on disk differs in size from its source, copied again: " + destFolder + it->second,
                false);
    manifest.Forget({destFolder + it->second});
    return false;
  };

  const std::vector<std::string> fulls = Matching(destFolder, destFiles, V + "*.spf");
  out.ShowStatus("Checking destination folders full backups. " + std::to_string(fulls.size()) +
                 " full backups to check.");
  // An image on the disk newer than any in the source means the source is not what it was (a
  // share of another day, an image gone or unreadable): rotating would put an older chain in
  // place of a newer one.
  for (const std::string& f : fulls) {
    struct stat st {};
    if (SameText(ExtractFileName(f), latestName) || ::stat(f.c_str(), &st) != 0) continue;
    if (TwoSecondSlot(static_cast<int64_t>(st.st_mtime)) > TwoSecondSlot(latestFile->mtimeSec)) {
      out.LogLine(D + " holds " + ExtractFileName(f) + ", newer than the newest full backup in " + S +
                      ": nothing deleted or copied",
                  true);
      return;
    }
  }
  std::vector<std::string> older;
  bool latestPresent = false;
  for (const std::string& f : fulls) {
    if (!SameText(ExtractFileName(f), latestName)) {
      older.push_back(f);
    } else if (heldWhole(LowerCase(latestName), latest, latestFile->size)) {
      latestPresent = true;
    } else if (ExtractFileName(f) != latestName) {
      older.push_back(f);  // the copy takes the source's name; this one would stay beside it
    }
  }

  // An incremental or checksum file that does not begin with the chain's name belongs to an
  // older chain.
  auto stale = [&](const std::string& path) {
    const std::string stem = ChangeFileExt(ExtractFileName(path), "");
    return !SameText(stem.substr(0, chainName.size()), chainName);
  };
  std::vector<std::string> incrementals = Matching(destFolder, destFiles, "*.spi");
  const size_t spiCount = incrementals.size();
  for (const std::string& f : Matching(destFolder, destFiles, "*.md5")) incrementals.push_back(f);
  auto sweep = [&] {
    out.LogLine("Searching for .spi and .md5 files in " + D, false);
    out.ShowStatus("Checking destination for old incrementals to remove. " + std::to_string(spiCount) +
                   " increments to check.");
    manifest.Forget(incrementals, stale);
    for (const std::string& f : incrementals)
      if (stale(f) && DeleteLogged(out, acts, disk, "Delete file ", f)) deleted(f);
  };

  // Deleting the old chain first leaves the disk without any restorable chain of the volume
  // whenever the copy then fails; where the disk holds both, the old one goes only after the
  // new full image is in place. Where it does not, the whole older chain makes way, its
  // incrementals too: useless without their full image, left in place they could keep the new
  // one from ever fitting, night after night. An image that would not fit even then keeps it.
  const int64_t freeBytes = latestPresent ? 0 : FreeBytes(D);
  const bool room = latestPresent || freeBytes >= Needed(latestFile->size);
  if (!room) {
    int64_t olderBytes = 0;
    for (const std::string& f : older) olderBytes += SizeOnDisk(f);
    for (const std::string& f : incrementals)
      if (stale(f)) olderBytes += SizeOnDisk(f);
    if (freeBytes + olderBytes < Needed(latestFile->size)) {
      out.LogLine(latest + " (" + std::to_string(latestFile->size) + " bytes) does not fit on " + D + ": " +
                      std::to_string(freeBytes) + " bytes free, " + std::to_string(olderBytes) +
                      " bytes held by the older chain; the older chain is kept",
                  true);
      return;
    }
  }
  const bool copyFirst = !latestPresent && !older.empty() && room;
  const bool sweepFirst = !room;
  if (sweepFirst && (!older.empty() || std::any_of(incrementals.begin(), incrementals.end(), stale)))
    out.LogLine("Not enough room on " + D + " for both chains: the older chain is deleted first", false);
  if (!copyFirst) manifest.Forget(older);
  if (!copyFirst)
    for (const std::string& f : older)
      if (DeleteLogged(out, acts, disk, "File deleting ", f)) deleted(f);
  if (sweepFirst) sweep();
  if (!latestPresent) {
    out.ShowStatus("Copy latest full backup.");
    if (!CopyLogged(out, acts, disk, fc, latest, D)) return;
    held[LowerCase(latestName)] = latestName;
  }
  if (copyFirst) manifest.Forget(older);
  if (copyFirst)
    for (const std::string& f : older)
      if (DeleteLogged(out, acts, disk, "File deleting ", f)) deleted(f);
  if (!sweepFirst) sweep();

  out.LogLine("Searching for new incrementals", false);
  std::vector<const TFoundFile*> fresh;
  for (const TFoundFile& f : sourceFiles)
    if (MatchesMask(f.name, chainName + "*.spi")) fresh.push_back(&f);
  out.ShowStatus("Found a possible " + std::to_string(fresh.size()) +
                 " incrementals to copy. Copying ones that do not exist.");
  for (const TFoundFile& f : sourceFiles)
    if (MatchesMask(f.name, chainName + "*.md5")) fresh.push_back(&f);
  // One folder, so name order is the order of the full paths.
  std::vector<std::pair<std::string, const TFoundFile*>> byName;
  for (const TFoundFile* f : fresh) byName.emplace_back(LowerCase(f->name), f);
  std::stable_sort(byName.begin(), byName.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [folded, f] : byName) {
    if (!f->regular) {
      LogSkipped(out, sourceFolder + f->name, *f);
      continue;
    }
    if (heldWhole(folded, sourceFolder + f->name, -1)) continue;
    if (!CopyLogged(out, acts, disk, fc, sourceFolder + f->name, destFolder)) return;
    // The copy takes the source's name; a short one under another case would stay beside it.
    if (const auto it = held.find(folded); it != held.end() && it->second != f->name)
      DeleteLogged(out, acts, disk, "File deleting ", destFolder + it->second);
    held[folded] = f->name;
  }

  out.LogLine("Completed Sucessfully", false);
}

namespace {
// Whether folder is inside or equal to outer; both resolved.
bool Within(const std::string& folder, const std::string& outer) {
  if (folder == outer) return true;
  const std::string prefix = outer == "/" ? outer : outer + PathDelim;
  return folder.rfind(prefix, 0) == 0;
}
}  // namespace

std::vector<bool> RefuseOverlappingFolders(TRunOutput& out, const std::vector<TVolumeJob>& jobs) {
  std::vector<std::string> dests, sources;
  for (const TVolumeJob& j : jobs) {
    dests.push_back(j.Complete() ? ResolvedFolder(j.Destination) : "");
    sources.push_back(j.Source.empty() ? "" : ResolvedFolder(j.Source));
  }
  std::vector<bool> refused(jobs.size(), false);
  for (size_t later = 0; later < jobs.size(); ++later) {
    if (dests[later].empty()) continue;
    const TVolumeJob& b = jobs[later];
    // The sweep deletes whatever is not the current chain: in a source folder, the server's own
    // older images.
    for (size_t v = 0; v < jobs.size() && !refused[later]; ++v) {
      if (sources[v].empty()) continue;
      const char* how = dests[later] == sources[v]         ? " is the source folder "
                        : Within(dests[later], sources[v]) ? " lies inside the source folder "
                        : Within(sources[v], dests[later]) ? " contains the source folder "
                                                           : nullptr;
      if (!how) continue;
      out.LogLine("Destination Directory " + b.Destination + " of volume " + b.Volume + how + jobs[v].Source +
                      " of volume " + jobs[v].Volume +
                      "; a destination folder must lie apart from every source folder",
                  true);
      refused[later] = true;
    }
    if (refused[later]) continue;
    for (size_t first = 0; first < later; ++first) {
      if (dests[first] != dests[later]) continue;
      const TVolumeJob& a = jobs[first];
      std::string folder = a.Destination;
      if (b.Destination != a.Destination) folder += " (also written " + b.Destination + ")";
      out.LogLine("Destination Directory " + folder + " is shared by volume " + a.Volume + " (source " +
                      a.Source + ") and volume " + b.Volume + " (source " + b.Source +
                      "); a destination folder must belong to one volume only",
                  true);
      refused[later] = true;
      break;
    }
  }
  return refused;
}

}  // namespace tavik
