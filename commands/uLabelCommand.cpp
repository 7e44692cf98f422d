#include "commands/uLabelCommand.h"

#include <sys/stat.h>

#include <ostream>

#include "QorvLib/uQorvFiles.h"
#include "core/uDiskIdentity.h"
#include "core/uJobSettings.h"
#include "platform/uClock.h"
#include "run/uRunLock.h"

namespace tavik {

int LabelCommand(const std::vector<std::string>& args, TCommandStreams io) {
  return LabelCommand(args, io, JobSettingsPath());
}

int LabelCommand(const std::vector<std::string>& args, TCommandStreams io, const std::string& jobPath) {
  if (args.size() != 1 || Trim(args[0]).empty()) return Refuse(io, "--label takes one disk ID");
  const std::string id = args[0];
  // The ID is the file's first line and is compared with the schedule's IDs as it stands.
  if (HasControl(id) || id != Trim(id))
    return Refuse(io, Quoted(id) + ": a disk ID holds no control character and no leading or trailing blank");
  if (!FileExists(jobPath)) return Fail(io, JobSettingsNotFound(jobPath));
  const TJobSettings job(jobPath);
  const std::string idPath = job.IDPath();
  if (idPath.empty()) return Fail(io, "IDPath is not set in " + job.Path());
  // A run may be labelling the same disk: the identity file has one writer at a time.
  TRunLock lock;
  if (!lock.TryAcquire()) return Fail(io, lock.RefusalText());
  if (const std::string missing = BackupDiskMissing(idPath, job.SystemDiskAllowed()); !missing.empty())
    return Fail(io, missing);
  const std::string file = IdentityFilePath(idPath);
  struct stat st {};
  if (::lstat(file.c_str(), &st) == 0) {
    try {
      const std::string found = ReadDiskID(file);
      if (found == id) {
        io.out << RemoveTrailingSeparator(idPath) << " is labelled " << id << " already (" << file << ")\n";
        return ExitOk;
      }
      return Fail(io, file + " labels the disk " + (found.empty() ? "(empty)" : found) +
                          "; delete it first to label the disk anew");
    } catch (const std::exception& e) {
      return Fail(io, e.what());
    }
  }
  try {
    WriteDiskID(file, id, Now());
  } catch (const std::exception& e) {
    return Fail(io, e.what());
  }
  io.out << "Labelled " << RemoveTrailingSeparator(idPath) << " as " << id << " (" << file << ")\n";
  return ExitOk;
}

}  // namespace tavik
