#pragma once
// The history as people read it: the tables "--status", the report mails and the window's History
// page show, as text and as HTML.
#include <cstdint>
#include <string>
#include <vector>

#include "history/uHistory.h"

namespace tavik {

// "--history" without a number, and the window's History page.
inline constexpr int DefaultHistoryRuns = 10;

// "12.3 GB", "512 B": sizes as people read them, in powers of 1000 like disk labels.
std::string BytesText(int64_t bytes);
// "dd/mm/yyyy HH:MM", as every table shows a time.
std::string Stamp(TDateTime t);
// "OK", "errors", "wrong disk", "did not end": a run's outcome in a word or two.
std::string RunResultText(const THistoryRun& run);
// Whether there is a history at path to read: anything there but nothing counts, since a file
// that cannot be looked at must be said, not taken for a fresh machine.
bool HistoryExists(const std::string& path);

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
