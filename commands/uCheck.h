#pragma once
// "--check": the setup checked and a run's plan shown without a run. The job file and the
// notification settings are read, the disk and each volume looked at, and what a run would delete
// and copy is printed; nothing is written, locked, logged or mailed.
#include <iosfwd>
#include <string>

namespace tavik {

// Prints the check and the plan on out. Exit status: 0 when a run would write no error line, 1
// when it would, 3 when only the disk in is not today's.
int RunCheck(std::ostream& out, std::ostream& err);
// The same for the job file at jobPath.
int RunCheck(std::ostream& out, std::ostream& err, const std::string& jobPath);

}  // namespace tavik
