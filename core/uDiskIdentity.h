#pragma once
// The backup disk's identity: the "ID.txt" file on the disk, the weekday schedule of disks and
// the check a run makes before it copies. The file and schedule helpers are shared with the
// disk pre-check, which compares without labelling or deleting anything.
#include <cstddef>
#include <string>

#include "core/uRunValues.h"
#include "platform/uClock.h"

namespace tavik {

class TNotifier;
struct TRunOutput;

inline constexpr const char* IdentityFileName = "ID.txt";
inline constexpr const char* IdentityWarningLine =
    "*** DO NOT DELETE UNLESS YOU WANT TO CHANGE THE DISK LABEL ***";

// The identity file in idPath (the job's "IDPath", already ending in a separator or empty).
// A file that differs from "ID.txt" only in letter case is the disk's file too.
std::string IdentityFilePath(const std::string& idPath);

// How much of the identity file is ever read; a first line must end within it.
inline constexpr size_t IdentityReadBound = 64 * 1024;

// The disk ID: the file's first line without a trailing CR; empty for a file without lines.
// Throws EInOutError naming the file and the reason when it cannot be read or is refused: a
// symbolic link, anything but a regular file, a first line that does not end within
// IdentityReadBound bytes.
std::string ReadDiskID(const std::string& fileName);

// The table of the file systems the machine mounts: "/etc/fstab" (TAVIK_FSTAB names another
// for tests).
std::string FstabPath();

// Whether idPath, the job's "IDPath", is a folder on a disk that is there: false when it does
// not exist or is no folder, or when it or a folder above it is a mount point of fstabPath with
// nothing mounted on it (its device is its parent's).
bool BackupDiskPresent(const std::string& idPath, const std::string& fstabPath = FstabPath());

// The error line of a run whose IDPath is no backup disk, "" when it is one: "Backup disk not
// found at <IDPath>" when BackupDiskPresent says no; the same with ": it is on the system disk
// and holds no ID.txt" for a folder of the root file system without an identity file, which a
// stray folder left where the disk is mounted looks like, unless systemDiskAllowed (a folder
// used as the disk on purpose).
std::string BackupDiskMissing(const std::string& idPath, bool systemDiskAllowed,
                              const std::string& fstabPath = FstabPath());

// The labelling time as line 2 shows it: the locale's short date, a blank and its long time;
// the time is left out at exactly midnight.
std::string LabelTimeText(TDateTime t);

// Writes the three lines of a freshly labelled disk, each ended by CR LF. Throws EInOutError
// naming the file and the reason when it cannot be written; a symbolic link (dangling or not)
// or anything but a regular file in its place is refused, never followed or created through.
void WriteDiskID(const std::string& fileName, const std::string& id, TDateTime labelled);

// The weekday schedule; weekday is WeekdayIndex's 0 (Sunday) .. 6 (Saturday).
std::string ScheduledID(const TNotifier& n, int weekday);
bool CheckFlag(const TNotifier& n, int weekday);
// The scheduled ID of the first of the six days after weekday whose check flag is on; empty
// when none is.
std::string NextDisk(const TNotifier& n, int weekday);

// The run's identity step: labels a disk without an identity file, forgets an empty one,
// compares with today's disk when today is checked and names the next disk, filling values.
// Read and write failures of the identity file are passed on to the caller.
void CheckDiskIdentity(TRunOutput& out, const TNotifier& n, const std::string& idPath, TDateTime now,
                       TRunValues& values);

}  // namespace tavik
