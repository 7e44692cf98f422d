#pragma once
// The rotation of one volume onto the backup disk: the destination ends up holding the newest
// full image of the volume with its own incrementals and checksum files, and nothing older.
#include <string>
#include <vector>

#include "app/uJobSettings.h"

namespace tavik {

class TNotifier;
class TQorvFileCopier;
struct TRunOutput;

// The full path of the newest regular file matching mask, empty when none matches. Times are
// compared in universal time at two-second resolution; of several equally new files the first
// listed wins.
std::string FindLatestFile(const std::string& mask);

// Brings job's destination up to date with the newest chain in its source. Missing folders and
// entries, and a file the copier did not copy, end the volume with an error line; any failure
// raised (a source that cannot be opened, say) is passed on and ends the caller's volume loop.
void RotateVolume(TRunOutput& out, TQorvFileCopier& fc, const TNotifier& notifier, const TVolumeJob& job);

// Which volumes may not run, each with its error line: a destination that is, lies inside or
// contains any volume's source folder; a destination an earlier volume already uses. Folders
// are compared as they are on disk (absolute, links followed), however the job writes them.
std::vector<bool> RefuseOverlappingFolders(TRunOutput& out, const std::vector<TVolumeJob>& jobs);

}  // namespace tavik
