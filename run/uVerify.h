#pragma once
// "--verify": reads back every file the job's destinations list in their SHA256SUMS and checks
// it, so a disk that comes back from off-site is known to hold what was written to it.
#include <iosfwd>
#include <string>

#include "core/uJobSettings.h"

namespace tavik {

// Prints "<path>: OK", "<path>: FAILED" or "<path>: FAILED open or read" per file, as sha256sum -c
// does, and a summary. A file without an entry is compared with its source and entered when
// equal; a failed file whose source still holds the bytes of its entry is copied again from it.
// Holds the run lock, writes the run log and mails the error recipients on any failure. Returns 0
// when every file matched, 1 otherwise.
int VerifyCommand(std::ostream& out, std::ostream& err, const std::string& jobPath = JobSettingsPath());

}  // namespace tavik
