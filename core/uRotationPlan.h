#pragma once
// What the rotation of one volume decides, apart from doing it: from the listings of the source
// and the destination (and the sizes and times of the files in question), which older images go,
// whether the newest full image is copied before or after they go, which incrementals and
// checksum files are stale, which are copied in which order, which are copied again because the
// disk's file is not their size, and which are skipped and why. A run carries the plan out; a
// check shows it; both through the same actions.
#include <cstdint>
#include <string>
#include <vector>

#include "QorvLib/uQorvFiles.h"
#include "core/uJobSettings.h"

namespace tavik {

// Backup disks often keep modification times to two seconds only; at that resolution an image
// and its copy are equally new.
int64_t TwoSecondSlot(int64_t utcSeconds);
// The newest regular file matching pattern; of equally new ones the first listed. Null for none.
const TFoundFile* LatestOf(const std::vector<TFoundFile>& files, const std::string& pattern);

// The volume's chain as its source holds it.
struct TSourceChain {
  std::string folder;             // with its separator
  std::vector<TFoundFile> files;  // the listing; the full images with their times and sizes
  TFoundFile latest;              // the newest full image
  std::string chainName;          // its name without the extension: every file of the chain begins so
  int64_t newestMtime = 0;        // the newest time of the chain's full image and incrementals

  std::string LatestPath() const { return folder + latest.name; }
};

// One incremental or checksum file of the chain, in the order they are copied.
struct TChainStep {
  TFoundFile file;       // as the source lists it
  bool skip = false;     // not a regular file: never copied, an error line
  bool held = false;     // a whole copy is on the disk already
  std::string resized;   // the disk's file under its name, not its size: copied again ("" for none)
  std::string replaced;  // the disk's file under the name in another case, deleted after the copy
};

struct TRotationPlan {
  // Why the volume stops before anything changes: the disk holds a newer full image than the
  // source (the source is not what it was), or the newest one cannot fit even without the older
  // chain. The second is told after the resized files, as it is found after them.
  std::string newerOnDisk;
  std::string noRoom;
  // The disk's files under the newest full image's name that are not its size.
  std::vector<std::string> resizedLatest;
  bool copyLatest = false;
  std::vector<std::string> olderFulls;  // the volume's other full images on the disk
  std::vector<std::string> chainFiles;  // every incremental, then every checksum file on the disk
  size_t incrementalsOnDisk = 0;        // how many of chainFiles are incrementals
  std::vector<std::string> staleFiles;  // those of chainFiles that belong to no newest chain
  // The order of the deletions around the copy of the newest full image: where the disk holds
  // both chains the old one goes only after the new image is in place; where it does not, the
  // whole older chain makes way first.
  bool copyFirst = false;
  bool sweepFirst = false;
  size_t incrementalsInSource = 0;  // the chain's incrementals in the source, copied or not
  std::vector<TChainStep> steps;
};

// Decides the rotation of job's volume whose destination folder (with its separator) lists
// destFiles, temporary copies already gone. Reads sizes, times and free space, never changes
// anything.
TRotationPlan PlanRotation(const TVolumeJob& job, const TSourceChain& source, const std::string& destFolder,
                           const std::vector<TFoundFile>& destFiles);

// path itself, or the nearest folder above it that exists: where a folder only planned would be
// made. "" when none can be examined (a failure other than "not there").
std::string NearestExistingPath(std::string path);

// Free bytes of folder's file system; 0 when it cannot be told. A folder only planned (a check
// does not make it) is measured where it would be made.
int64_t FreeBytesBelow(const std::string& folder);

}  // namespace tavik
