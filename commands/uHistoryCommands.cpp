#include "commands/uHistoryCommands.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "QorvLib/uQorvFiles.h"
#include "core/uExitStatus.h"
#include "core/uRunValues.h"
#include "history/uHistoryTables.h"
#include "platform/uSystem.h"

namespace tavik {

namespace {
// The error lines --status shows of the last run; the log holds them all.
constexpr size_t StatusErrorLines = 20;

// What the history holds came partly from disks and folders anyone may have written (an ID.txt,
// a file name): a terminal gets every line with its control bytes escaped as the log escapes them.
void ShowLines(std::ostream& out, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const size_t nl = text.find('\n', at);
    const size_t end = nl == std::string::npos ? text.size() : nl;
    out << EscapeControls(text.substr(at, end - at)) << (nl == std::string::npos ? "" : "\n");
    at = end + 1;
  }
}

int StatusText(std::ostream& out, std::ostream& err, const std::string& path);
int HistoryText(int n, std::ostream& out, std::ostream& err, const std::string& path);
}  // namespace

int RunStatusCommand(std::ostream& out, std::ostream& err, const std::string& path) {
  std::ostringstream text;
  const int status = StatusText(text, err, path);
  ShowLines(out, text.str());
  return status;
}

int RunHistoryCommand(int n, std::ostream& out, std::ostream& err, const std::string& path) {
  std::ostringstream text;
  const int status = HistoryText(n, text, err, path);
  ShowLines(out, text.str());
  return status;
}

namespace {
int StatusText(std::ostream& out, std::ostream& err, const std::string& path) {
  if (!HistoryExists(path)) {
    out << "No run recorded yet (" << path << ")\n";
    return ExitNoRunYet;
  }
  try {
    THistory h(path, THistory::TMode::Read);
    const std::optional<THistoryRun> last = h.LastRun();
    if (!last) {
      out << "No run recorded yet (" << path << ")\n";
      return ExitNoRunYet;
    }
    const THistoryRun& r = *last;
    out << "Last run\n";
    out << "  Start:        " << Stamp(r.start) << "\n";
    out << "  End:          "
        << (r.end ? Stamp(*r.end) + " (" + ElapsedText(r.start, *r.end) + ")"
                  : std::string("none: still running, or stopped before its end"))
        << "\n";
    out << "  Result:       " << RunResultText(r)
        << (r.end ? ", exit status " + std::to_string(r.exitStatus) : "") << "\n";
    out << "  Error lines:  " << r.errorLines << "\n";
    const std::vector<std::string> errors = h.RunErrors(r.id);
    for (size_t i = 0; i < errors.size() && i < StatusErrorLines; ++i) out << "    " << errors[i] << "\n";
    if (r.errorLines > static_cast<int>(StatusErrorLines) && !errors.empty())
      out << "    ... and " << r.errorLines - static_cast<int>(StatusErrorLines) << " more\n";
    out << "  Host:         " << r.host << "\n";
    out << "  Disk:         " << (r.diskFound.empty() ? "-" : r.diskFound);
    if (!r.diskExpected.empty() && !SameText(r.diskExpected, r.diskFound))
      out << " (expected " << r.diskExpected << ")";
    if (r.diskFree && r.diskTotal)
      out << ", " << BytesText(*r.diskFree) << " free of " << BytesText(*r.diskTotal);
    out << "\n";
    const std::vector<THistoryVolume> volumes = h.Volumes(r.id);
    out << "\nVolumes\n" << (volumes.empty() ? "  none recorded\n" : VolumesText(volumes));
    out << "\nRotation\n" << RotationText(h.Rotation(Now(), ScheduledDisksFromSettings()));
    return r.end ? r.exitStatus : ExitFailed;
  } catch (const std::exception& e) {
    err << "TavikBackupCopy: " << e.what() << "\n";
    return ExitFailed;
  }
}

int HistoryText(int n, std::ostream& out, std::ostream& err, const std::string& path) {
  if (!HistoryExists(path)) {
    out << "No run recorded yet (" << path << ")\n";
    return ExitOk;
  }
  try {
    THistory h(path, THistory::TMode::Read);
    const std::vector<THistoryRun> runs = h.LastRuns(n);
    if (runs.empty()) out << "No run recorded yet (" << path << ")\n";
    for (const THistoryRun& r : runs) out << RunLine(r) << "\n";
    return ExitOk;
  } catch (const std::exception& e) {
    err << "TavikBackupCopy: " << e.what() << "\n";
    return ExitFailed;
  }
}

}  // namespace

int HistoryCommandArgs(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                       const std::string& path) {
  int n = DefaultHistoryRuns;
  if (args.size() > 1 || (args.size() == 1 && (args[0].empty() || args[0].size() > 6 ||
                                               !std::all_of(args[0].begin(), args[0].end(),
                                                            [](char c) { return c >= '0' && c <= '9'; }) ||
                                               (n = std::stoi(args[0])) < 1))) {
    std::string given;
    for (const std::string& a : args) given += (given.empty() ? "" : " ") + a;
    err << "TavikBackupCopy: --history takes one number of runs from 1 up, not \"" << given << "\"\n";
    return ExitUsage;
  }
  return RunHistoryCommand(n, out, err, path);
}

}  // namespace tavik
