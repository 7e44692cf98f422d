#pragma once
// The mails that end a run (disk change alert, error report or completion notice, log copy) and
// the disk pre-check of the switch "P", which mails a warning when the wrong disk is plugged in.
#include <functional>
#include <string>
#include <vector>

#include "core/uRunValues.h"

namespace tavik {

class TNotifier;
class TQorvLogger;

inline constexpr const char* MakerSiteUrl = "https://www.example.com/tavik";
inline constexpr const char* MakerSocialUrl = "https://www.example.com/tavik/facebook";

// "[" SiteID ":" SiteDescription, then suffix, which brings its own "]".
std::string ReportSubject(const TNotifier& n, const std::string& suffix);
// The closing fragment of the alert, error and log mails, links to the maker included.
std::string MailFooter();
// The run log as the report attaches it: the logger's folder and file name.
std::string RunLogFilePath(const TQorvLogger& logger);

// What the run history adds to the mails: this run's volumes and the rotation as HTML tables (the
// overdue and filling disks marked in them), and the overdue disks in a line of their own.
struct TReportHistory {
  std::string volumesHtml;
  std::string rotationHtml;
  std::string overdueLine;  // "" when no disk is overdue
};

// Sends, in this order and each to its own list: the disk change alert when the disk was the
// wrong one; the error report with the log attached when there are error lines, or else the
// completion notice; the log copy when the log file exists. A list without recipients switches
// its mail off. Which mails go out is decided on errorLines as they stand when the report begins,
// so a mail that fails on the way never turns a completion notice into an error report. A mail
// the server refuses is left in LastError and the next one still goes out; an error (server
// unreachable, logon refused, time-out) ends the report at that mail and passes to the caller,
// its message led by the notifier's reason when it has one. notSent, when given, hears one line
// for every mail that did not go out (refused, or the connection lost on the way) and for every
// recipient that is no mail address, so a run can tell the administrator what its mail could not.
// history's tables follow the completion notice's and the log copy's text (before the footer);
// the disk change alert and the error report name the overdue disks.
void SendReport(TNotifier& notifier, std::vector<std::string> errorLines, const TRunValues& values,
                const std::string& logFilePath,
                const std::function<void(const std::string& line)>& notSent = {},
                const TReportHistory& history = {});

// Compares the disk's identity with today's scheduled disk, for today only when its check flag is
// on, and mails the backup-complete list a warning when they differ. Never labels, deletes or logs
// anything. False, with the reason in failure, when the check could not be made (identity file
// missing or unreadable) or its warning did not go out; no mail is sent in the first case.
// wrongDisk, when given, says whether the disk in is not the one checked for today.
bool PreCheckDisk(const std::string& jobSettingsPath, std::string* failure = nullptr,
                  bool* wrongDisk = nullptr);

}  // namespace tavik
