#include "core/uRotation.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvFiles.h"
#include "core/uManifest.h"
#include "core/uRotationPlan.h"
#include "core/uRunOutput.h"
#include "notify/uNotifier.h"
#include "platform/uClock.h"
#include "platform/uErrors.h"
#include "platform/uFiles.h"

namespace tavik {

namespace {

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

// A FIFO or a device is no image, and opening a FIFO would wait for ever; an entry that cannot be
// examined (a dangling or looping link) is none either: each is skipped, as an error.
void LogSkipped(TRunOutput& out, const std::string& path, const TFoundFile& f) {
  out.LogLine(
      "File skipped " + path + ": " +
          (f.statErr != 0 ? SysErrorMessage(f.statErr) : std::string(TQorvFileCopier::NotRegularFileText)),
      true);
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
  int Delete(const std::string& path) override { return RemoveFile(path) ? 0 : LastFileError(); }
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

namespace {
// The device of folder, or of the nearest folder above it that exists; false when none can be
// examined.
bool NearestDevice(const std::string& folder, uint64_t& dev) {
  const std::string at = NearestExistingPath(folder);
  TFileInfo info;
  if (at.empty() || !PathInfo(at, info)) return false;
  dev = info.device;
  return true;
}
}  // namespace

TDiskWatch::TDiskWatch(const std::string& idPath) : idPath_(idPath) {
  TFileInfo info;
  idKnown_ = !idPath.empty() && PathInfo(idPath, info);
  if (idKnown_) idDev_ = info.device;
}

void TDiskWatch::WatchDestinations(const std::vector<std::string>& destinations) {
  for (const std::string& d : destinations)
    if (uint64_t dev = 0; !d.empty() && NearestDevice(d, dev)) startDevs_.emplace(d, dev);
}

void TDiskWatch::BeginVolume(const std::string& destination) {
  TFileInfo info;
  dest_ = destination;
  destKnown_ = !destination.empty() && PathInfo(destination, info);
  if (destKnown_) destDev_ = info.device;
  const auto it = startDevs_.find(destination);
  expected_ = it != startDevs_.end();
  if (expected_) expectedDev_ = it->second;
}

void TDiskWatch::Gone() const {
  throw EDiskGone("Backup disk at " + RemoveTrailingSeparator(idKnown_ ? idPath_ : dest_) +
                  " is gone: the run stops");
}

void TDiskWatch::Check() const {
  auto still = [](const std::string& folder, uint64_t dev) {
    TFileInfo info;
    return PathInfo(folder, info) && info.kind == TFileKind::Folder && info.device == dev;
  };
  if ((idKnown_ && !still(idPath_, idDev_)) || (destKnown_ && !still(dest_, destDev_))) Gone();
  // A destination that is there on its own device needs no second look.
  if (!expected_ || (destKnown_ && destDev_ == expectedDev_)) return;
  if (uint64_t dev = 0; !NearestDevice(dest_, dev) || dev != expectedDev_) Gone();
}

namespace {

// An imaging product that stopped leaves its last chain in place, and rotating it night after
// night would look like success: a chain whose newest image (full or incremental) is older than
// the job's limit is an error, though it is still rotated, since it is the best there is.
// The chain's newest time is read whatever the limit: the history keeps it for the monitoring.
void CheckImageAge(TRunOutput& out, const TVolumeJob& job, TSourceChain& src) {
  int64_t newest = src.latest.mtimeSec;
  for (const TFoundFile& f : src.files) {
    TFileInfo info;
    if (MatchesMask(f.name, src.chainName + "*.spi") && PathInfo(src.folder + f.name, info))
      newest = std::max<int64_t>(newest, info.modified.sec);
  }
  src.newestMtime = newest;
  if (job.MaxImageAgeHours <= 0) return;
  const int64_t age = static_cast<int64_t>(TClock::to_time_t(Now())) - newest;
  if (age <= static_cast<int64_t>(job.MaxImageAgeHours) * 3600) return;
  out.LogLine("Newest image of " + job.Volume + " in " + job.Source + " is " + std::to_string(age / 3600) +
                  " hours old (limit " + std::to_string(job.MaxImageAgeHours) +
                  "): is the imaging still running?",
              true);
}

// The volume's source: listed once, its full images examined, the newest found. Nothing when the
// volume ends here, its error line written.
std::optional<TSourceChain> ReadSource(TRunOutput& out, const TVolumeJob& job) {
  const std::string& S = job.Source;
  const std::string& V = job.Volume;
  if (!FolderExists(S)) {
    out.LogLine("Source Directory " + S + " not found", true);
    return std::nullopt;
  }
  if (!job.Complete()) {
    out.LogLine("Volumne or Destination missing from ini file for source " + S, true);
    return std::nullopt;
  }
  out.LogLine("Processing Volume " + V + " ....", false);
  // Each folder is listed once per volume and the listing kept current by hand: a chain of
  // thousands of incrementals must not cost a listing per file.
  TSourceChain src;
  src.folder = IncludeTrailingSeparator(S);
  int listErr = 0;
  src.files = ListFiles(src.folder + "*", false, &listErr);
  if (listErr != 0) {
    // Not "no full backup": the folder may be full of them.
    out.LogLine("Cannot list " + S + ": " + SysErrorMessage(listErr), true);
    return std::nullopt;
  }
  // Only the full images' times and sizes count.
  for (TFoundFile& f : src.files) {
    if (f.statErr != 0 || !MatchesMask(f.name, V + "*.spf")) continue;
    TFileInfo info;
    if (!PathInfo(src.folder + f.name, info)) {
      f.statErr = LastFileError();
      f.regular = false;
      continue;
    }
    f.mtimeSec = info.modified.sec;
    f.size = info.size;
    f.regular = info.kind == TFileKind::Regular;
  }
  // A FIFO, a device or a dangling link named like a full image is never the latest; the
  // operator hears of it.
  for (const TFoundFile& f : src.files)
    if (!f.regular && MatchesMask(f.name, V + "*.spf")) LogSkipped(out, src.folder + f.name, f);
  const TFoundFile* latest = LatestOf(src.files, V + "*.spf");
  if (!latest) {
    // Without a full image there is no chain to keep: sweeping would empty the destination. A
    // source share that is not mounted, or an imaging product that stopped, looks like this.
    out.LogLine(
        "No full backup " + V + "*.spf found in " + S + ", nothing deleted or copied in " + job.Destination,
        true);
    return std::nullopt;
  }
  src.latest = *latest;
  src.chainName = ChangeFileExt(latest->name, "");
  out.LogLine("Latest .spf file " + V + " ....", false);
  out.LogLine("Latest .spf file " + src.LatestPath() + " found in " + S, false);
  CheckImageAge(out, job, src);
  return src;
}

// The destination folder, made when the settings say so; false when it is not there, its error
// line written. From here on the disk watch covers the destination too.
bool ReadyDestination(TRunOutput& out, const TNotifier& notifier, const TVolumeJob& job, TDiskWatch* disk,
                      TRotationActions& acts) {
  bool there = FolderExists(job.Destination);
  if (notifier.CreateDestFolder && !there) {
    if (disk) disk->Check();
    there = acts.CreateFolder(job.Destination, CreatedFolderMode(job.Source));
  }
  if (!there) {
    out.LogLine("Destination Directory " + job.Destination + " not found", true);
    return false;
  }
  if (disk) {
    disk->BeginVolume(job.Destination);
    disk->Check();
  }
  return true;
}

// Carries a volume's plan out through the actions, saying each step as it is taken.
class TRotationRun {
 public:
  TRotationRun(TRunOutput& out, TQorvFileCopier& fc, TRotationActions& acts, TDiskWatch* disk,
               TManifestKeeper& manifest, const TVolumeJob& job, const TSourceChain& src)
      : out_(out), fc_(fc), acts_(acts), disk_(disk), manifest_(manifest), job_(job), src_(src) {}

  // False when the volume ended before its chain was complete.
  bool Carry(const TRotationPlan& plan) {
    if (!plan.newerOnDisk.empty()) return Stop(plan.newerOnDisk);
    for (const std::string& f : plan.resizedLatest) Resized(f);
    if (!plan.noRoom.empty()) return Stop(plan.noRoom);
    if (plan.sweepFirst && (!plan.olderFulls.empty() || !plan.staleFiles.empty()))
      out_.LogLine(
          "Not enough room on " + job_.Destination + " for both chains: the older chain is deleted first",
          false);
    if (!plan.copyFirst) DeleteOlderFulls(plan);
    if (plan.sweepFirst) Sweep(plan);
    if (plan.copyLatest) {
      out_.ShowStatus("Copy latest full backup.");
      if (!CopyLogged(out_, acts_, disk_, fc_, src_.LatestPath(), job_.Destination)) return false;
    }
    if (plan.copyFirst) DeleteOlderFulls(plan);
    if (!plan.sweepFirst) Sweep(plan);
    return CopyChain(plan);
  }

 private:
  bool Stop(const std::string& line) {
    out_.LogLine(line, true);
    return false;
  }

  void Resized(const std::string& path) {
    out_.LogLine("File on disk differs in size from its source, copied again: " + path, false);
    manifest_.Forget({path});
  }

  void DeleteOlderFulls(const TRotationPlan& plan) {
    manifest_.Forget(plan.olderFulls);
    for (const std::string& f : plan.olderFulls) DeleteLogged(out_, acts_, disk_, "File deleting ", f);
  }

  void Sweep(const TRotationPlan& plan) {
    out_.LogLine("Searching for .spi and .md5 files in " + job_.Destination, false);
    out_.ShowStatus("Checking destination for old incrementals to remove. " +
                    std::to_string(plan.incrementalsOnDisk) + " increments to check.");
    manifest_.Forget(plan.staleFiles);
    for (const std::string& f : plan.staleFiles) DeleteLogged(out_, acts_, disk_, "Delete file ", f);
  }

  bool CopyChain(const TRotationPlan& plan) {
    out_.LogLine("Searching for new incrementals", false);
    out_.ShowStatus("Found a possible " + std::to_string(plan.incrementalsInSource) +
                    " incrementals to copy. Copying ones that do not exist.");
    const std::string destFolder = IncludeTrailingSeparator(job_.Destination);
    for (const TChainStep& step : plan.steps) {
      const std::string source = src_.folder + step.file.name;
      if (step.skip) LogSkipped(out_, source, step.file);
      if (step.skip || step.held) continue;
      if (!step.resized.empty()) Resized(step.resized);
      if (!CopyLogged(out_, acts_, disk_, fc_, source, destFolder)) return false;
      // The copy takes the source's name; a short one under another case would stay beside it.
      if (!step.replaced.empty()) DeleteLogged(out_, acts_, disk_, "File deleting ", step.replaced);
    }
    return true;
  }

  TRunOutput& out_;
  TQorvFileCopier& fc_;
  TRotationActions& acts_;
  TDiskWatch* disk_;
  TManifestKeeper& manifest_;
  const TVolumeJob& job_;
  const TSourceChain& src_;
};

// Copies are renamed into place without a flush of the folder each; one flush when the volume
// ends settles them all. A crash before it can only leave a temporary name, which the next run
// deletes. While the volume runs the copier also watches the disk.
class TVolumeCopierSettings {
 public:
  TVolumeCopierSettings(TQorvFileCopier& fc, const std::string& destFolder, TDiskWatch* disk)
      : fc_(fc), folder_(destFolder), flushEach_(fc.FlushFolderEachCopy), check_(fc.CheckDestination) {
    fc.FlushFolderEachCopy = false;
    if (disk) fc.CheckDestination = [disk] { disk->Check(); };
  }
  ~TVolumeCopierSettings() {
    fc_.FlushFolderEachCopy = flushEach_;
    fc_.CheckDestination = check_;
    TQorvFileCopier::FlushFolder(folder_);
  }
  TVolumeCopierSettings(const TVolumeCopierSettings&) = delete;
  TVolumeCopierSettings& operator=(const TVolumeCopierSettings&) = delete;

 private:
  TQorvFileCopier& fc_;
  std::string folder_;
  bool flushEach_;
  std::function<void()> check_;
};

}  // namespace

std::optional<TDateTime> RotateVolume(TRunOutput& out, TQorvFileCopier& fc, const TNotifier& notifier,
                                      const TVolumeJob& job, TDiskWatch* disk, TRotationActions& acts) {
  if (disk) {
    disk->BeginVolume(job.Destination);
    disk->Check();
  }
  const std::optional<TSourceChain> src = ReadSource(out, job);
  if (!src) return std::nullopt;
  const std::optional<TDateTime> newest = TClock::from_time_t(static_cast<time_t>(src->newestMtime));
  if (!ReadyDestination(out, notifier, job, disk, acts)) return newest;
  const std::string destFolder = IncludeTrailingSeparator(job.Destination);
  const TVolumeCopierSettings settings(fc, destFolder, disk);

  std::vector<TFoundFile> destFiles = ListFiles(destFolder + "*", false);
  RemoveTemporaryCopies(out, acts, destFolder, destFiles);
  // A plan reads the manifest as the run would (a manifest that cannot be read is its error too)
  // but never writes it.
  TManifestKeeper manifest(out, fc, destFolder, job.Volume, acts.ChangesTheDisk());
  out.ShowStatus("Checking destination folders full backups. " +
                 std::to_string(std::count_if(
                     destFiles.begin(), destFiles.end(),
                     [&](const TFoundFile& f) { return MatchesMask(f.name, job.Volume + "*.spf"); })) +
                 " full backups to check.");
  const TRotationPlan plan = PlanRotation(job, *src, destFolder, destFiles);
  if (TRotationRun(out, fc, acts, disk, manifest, job, *src).Carry(plan))
    out.LogLine("Completed Sucessfully", false);
  return newest;
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
