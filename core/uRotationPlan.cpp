#include "core/uRotationPlan.h"

#include <algorithm>
#include <unordered_map>

#include "platform/uFiles.h"

namespace tavik {

int64_t TwoSecondSlot(int64_t utcSeconds) {
  // A floor keeps odd seconds with the even one before them. Universal seconds, so that the hour
  // repeated when the clocks go back cannot make the older of two images look newer.
  return utcSeconds >= 0 ? utcSeconds / 2 : -((1 - utcSeconds) / 2);
}

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

std::string NearestExistingPath(std::string path) {
  TFileInfo info;
  while (path.empty() || !PathInfo(path, info)) {
    const std::string parent = ExtractFilePath(RemoveTrailingSeparator(path));
    if (path.empty() || !MissingFileCode(LastFileError()) || parent.empty() || parent == path) return {};
    path = parent;
  }
  return path;
}

int64_t FreeBytesBelow(const std::string& folder) {
  const std::string at = NearestExistingPath(folder);
  int64_t free = 0, total = 0;
  return !at.empty() && DiskSpace(at, free, total) ? free : 0;
}

namespace {

// An image needs its own size and 1% to spare.
int64_t Needed(int64_t bytes) {
  return bytes + bytes / 100;
}

// The size of a file on the disk, links not followed; 0 when it cannot be told.
int64_t SizeOnDisk(const std::string& path) {
  TFileInfo info;
  return PathInfo(path, info, false) ? info.size : 0;
}

// The size of what path leads to; -1 when it cannot be told.
int64_t SizeOf(const std::string& path) {
  TFileInfo info;
  return PathInfo(path, info) ? info.size : -1;
}

// Whether path itself (a link is not followed) is a regular file of size bytes.
bool RegularOfSize(const std::string& path, int64_t size) {
  TFileInfo info;
  return PathInfo(path, info, false) && info.kind == TFileKind::Regular && info.size == size;
}

// The paths of the listed files whose names match pattern, in listing order.
std::vector<std::string> Matching(const std::string& folder, const std::vector<TFoundFile>& files,
                                  const std::string& pattern) {
  std::vector<std::string> r;
  for (const TFoundFile& f : files)
    if (MatchesMask(f.name, pattern)) r.push_back(folder + f.name);
  return r;
}

class TPlanner {
 public:
  TPlanner(const TVolumeJob& job, const TSourceChain& source, const std::string& destFolder,
           const std::vector<TFoundFile>& destFiles)
      : job_(job), src_(source), destFolder_(destFolder), destFiles_(destFiles) {
    for (const TFoundFile& f : destFiles) held_.emplace(LowerCase(f.name), THeld{f.name});
  }

  TRotationPlan Plan() {
    if (!PlanFulls()) return std::move(plan_);
    PlanRoom();
    if (plan_.noRoom.empty()) PlanChain();
    return std::move(plan_);
  }

 private:
  // A file of the disk by its folded name, with the name it has there; a copy the plan makes
  // stands in with the size it will have.
  struct THeld {
    std::string name;
    int64_t plannedSize = -1;
  };

  // Whether the disk holds a whole copy, under folded, of a source of size bytes (-1: of the
  // file at source). A file there that is not its size (cut short before copies were whole, or a
  // link planted there) goes into resized, to be copied again through the temporary name.
  bool HeldWhole(const std::string& folded, const std::string& source, int64_t size, std::string& resized) {
    const auto it = held_.find(folded);
    if (it == held_.end()) return false;
    if (size < 0) size = SizeOf(source);
    const std::string path = destFolder_ + it->second.name;
    // A link planted under the name is no copy, wherever it points.
    const bool whole =
        it->second.plannedSize >= 0 ? it->second.plannedSize == size : RegularOfSize(path, size);
    if (!whole) resized = path;
    return whole;
  }

  // An incremental or checksum file that does not begin with the chain's name belongs to an
  // older chain.
  bool Stale(const std::string& path) const {
    const std::string stem = ChangeFileExt(ExtractFileName(path), "");
    return !SameText(stem.substr(0, src_.chainName.size()), src_.chainName);
  }

  // The full images on the disk: the newest copied or not, the others to go. False when the
  // disk holds a newer one than the source.
  bool PlanFulls() {
    const std::string& latestName = src_.latest.name;
    const std::vector<std::string> fulls = Matching(destFolder_, destFiles_, job_.Volume + "*.spf");
    // An image on the disk newer than any in the source means the source is not what it was (a
    // share of another day, an image gone or unreadable): rotating would put an older chain in
    // place of a newer one.
    for (const std::string& f : fulls) {
      TFileInfo info;
      if (SameText(ExtractFileName(f), latestName) || !PathInfo(f, info)) continue;
      if (TwoSecondSlot(info.modified.sec) > TwoSecondSlot(src_.latest.mtimeSec)) {
        plan_.newerOnDisk = job_.Destination + " holds " + ExtractFileName(f) +
                            ", newer than the newest full backup in " + job_.Source +
                            ": nothing deleted or copied";
        return false;
      }
    }
    bool present = false;
    for (const std::string& f : fulls) {
      std::string resized;
      if (!SameText(ExtractFileName(f), latestName)) {
        plan_.olderFulls.push_back(f);
      } else if (HeldWhole(LowerCase(latestName), src_.LatestPath(), src_.latest.size, resized)) {
        present = true;
      } else {
        if (!resized.empty()) plan_.resizedLatest.push_back(resized);
        // The copy takes the source's name; one under another case would stay beside it.
        if (ExtractFileName(f) != latestName) plan_.olderFulls.push_back(f);
      }
    }
    plan_.copyLatest = !present;
    return true;
  }

  // The chain files on the disk, which of them are stale, and whether the disk has room for
  // the newest full image beside the older chain.
  void PlanRoom() {
    plan_.chainFiles = Matching(destFolder_, destFiles_, "*.spi");
    plan_.incrementalsOnDisk = plan_.chainFiles.size();
    for (const std::string& f : Matching(destFolder_, destFiles_, "*.md5")) plan_.chainFiles.push_back(f);
    for (const std::string& f : plan_.chainFiles)
      if (Stale(f)) plan_.staleFiles.push_back(f);

    const int64_t size = src_.latest.size;
    const int64_t freeBytes = plan_.copyLatest ? FreeBytesBelow(job_.Destination) : 0;
    const bool room = !plan_.copyLatest || freeBytes >= Needed(size);
    if (!room) {
      // The whole older chain makes way, its incrementals too: useless without their full image,
      // left in place they could keep the new one from ever fitting, night after night. An
      // image that would not fit even then keeps it.
      int64_t olderBytes = 0;
      for (const std::string& f : plan_.olderFulls) olderBytes += SizeOnDisk(f);
      for (const std::string& f : plan_.staleFiles) olderBytes += SizeOnDisk(f);
      if (freeBytes + olderBytes < Needed(size)) {
        plan_.noRoom = src_.LatestPath() + " (" + std::to_string(size) + " bytes) does not fit on " +
                       job_.Destination + ": " + std::to_string(freeBytes) + " bytes free, " +
                       std::to_string(olderBytes) + " bytes held by the older chain; the older chain is kept";
        return;
      }
    }
    plan_.copyFirst = plan_.copyLatest && !plan_.olderFulls.empty() && room;
    plan_.sweepFirst = !room;
  }

  // The chain's incrementals, then its checksum files, in name order (one folder, so the order
  // of the full paths), each copied unless the disk holds it whole.
  void PlanChain() {
    std::vector<const TFoundFile*> fresh;
    for (const TFoundFile& f : src_.files)
      if (MatchesMask(f.name, src_.chainName + "*.spi")) fresh.push_back(&f);
    plan_.incrementalsInSource = fresh.size();
    for (const TFoundFile& f : src_.files)
      if (MatchesMask(f.name, src_.chainName + "*.md5")) fresh.push_back(&f);
    std::vector<std::pair<std::string, const TFoundFile*>> byName;
    for (const TFoundFile* f : fresh) byName.emplace_back(LowerCase(f->name), f);
    std::stable_sort(byName.begin(), byName.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [folded, f] : byName) {
      TChainStep step;
      step.file = *f;
      const std::string source = src_.folder + f->name;
      if (!f->regular) {
        step.skip = true;
      } else if (HeldWhole(folded, source, -1, step.resized)) {
        step.held = true;
      } else {
        if (const auto it = held_.find(folded); it != held_.end() && it->second.name != f->name)
          step.replaced = destFolder_ + it->second.name;
        held_[folded] = THeld{f->name, SizeOf(source)};
      }
      plan_.steps.push_back(std::move(step));
    }
  }

  const TVolumeJob& job_;
  const TSourceChain& src_;
  const std::string& destFolder_;
  const std::vector<TFoundFile>& destFiles_;
  std::unordered_map<std::string, THeld> held_;
  TRotationPlan plan_;
};

}  // namespace

TRotationPlan PlanRotation(const TVolumeJob& job, const TSourceChain& source, const std::string& destFolder,
                           const std::vector<TFoundFile>& destFiles) {
  return TPlanner(job, source, destFolder, destFiles).Plan();
}

}  // namespace tavik
