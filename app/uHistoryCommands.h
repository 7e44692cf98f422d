#pragma once
// What the history shows people: "--status" and "--history [N]" on a terminal, and the tables the
// report mails and the window show. None of it needs a display or the run lock.
#include <iosfwd>
#include <string>
#include <vector>

#include "app/uHistory.h"

namespace tavik {

// "--status" when no run is recorded yet.
inline constexpr int ExitNoRunYet = 4;
// "--history" without a number.
inline constexpr int DefaultHistoryRuns = 10;

// "12.3 GB", "512 B": sizes as people read them, in powers of 1000 like disk labels.
std::string BytesText(int64_t bytes);
// "OK", "errors", "wrong disk", "did not end": a run's outcome in a word or two.
std::string RunResultText(const THistoryRun& run);

// The last run (start, end, result, error lines, disk, each volume's chain and what was copied)
// and the rotation table. Returns the last run's exit status; ExitNoRunYet without a run; 1 (with
// the reason on err) when the history cannot be read, or when the last run never reached its end.
int RunStatusCommand(std::ostream& out, std::ostream& err, const std::string& path = HistoryFilePath());
// The last n runs, one line each, newest first. 0, or 1 when the history cannot be read.
int RunHistoryCommand(int n, std::ostream& out, std::ostream& err,
                      const std::string& path = HistoryFilePath());
// The words after "--history": none, or one count from 1 up. 2 with a usage line for anything else.
int HistoryCommandArgs(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                       const std::string& path = HistoryFilePath());

// One line of "--history".
std::string RunLine(const THistoryRun& run);
// The rotation table as text (a header and a line per disk) and as an HTML table, overdue and
// filling disks marked.
std::string RotationText(const std::vector<TRotationDisk>& disks);
std::string RotationHtml(const std::vector<TRotationDisk>& disks);
// A run's volumes (chain, files and bytes copied, time, rate, result) as text and as HTML.
std::string VolumesText(const std::vector<THistoryVolume>& volumes);
std::string VolumesHtml(const std::vector<THistoryVolume>& volumes);

// "Overdue disks: Disk2 (last in 02/12/2026 22:00), Disk3 (never seen)", or "" when none is.
std::string OverdueLine(const std::vector<TRotationDisk>& disks);

// The window's History page: the rotation table and the last n runs as HTML tables; a line saying
// so when no run is recorded or the history cannot be read (never thrown, never created).
std::string HistoryPageHtml(int n = DefaultHistoryRuns, const std::string& path = HistoryFilePath());

// The disks of the schedule in the notification settings, none when the identity check is off.
std::vector<std::string> ScheduledDisksFromSettings();

}  // namespace tavik
