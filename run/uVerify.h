#pragma once
// "--verify": reads back every file the job's destinations list in their SHA256SUMS and checks
// it, so a disk that comes back from off-site is known to hold what was written to it.
#include <iosfwd>
#include <string>

#include "core/uJobSettings.h"

namespace tavik {

class THistoryRecorder;
class TQorvFileCopier;
struct TRunOutput;

// Copies sourcePath over folder's copy of the same name, only when the source still holds the
// bytes of entry (the copy's hex SHA-256 in the disk's manifest), and compared before the copy
// takes the name, so a source changed meanwhile leaves the disk's file as it was. "" when the
// copy took its place, else why not.
std::string CopyAgainFromSource(TQorvFileCopier& fc, const std::string& sourcePath, const std::string& folder,
                                const std::string& entry);

// For a night's run, after job's rotation: each file of its destination that the disk's last
// read-back found FAILED and could not repair is copied again where its source still matches its
// manifest entry, and the history told; one the rotation removed no longer stands against the disk.
void CopyAgainAfterReadBack(TRunOutput& out, const TVolumeJob& job, THistoryRecorder& history);

// Prints "<path>: OK", "<path>: FAILED" or "<path>: FAILED open or read" per file, as sha256sum -c
// does, and a summary. A file without an entry is compared with its source and entered when
// equal; a failed file whose source still holds the bytes of its entry is copied again from it.
// Holds the run lock, writes the run log and mails the error recipients on any failure. Returns 0
// when every file matched, 1 otherwise.
int VerifyCommand(std::ostream& out, std::ostream& err, const std::string& jobPath = JobSettingsPath());

}  // namespace tavik
