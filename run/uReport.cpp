#include "run/uReport.h"

#include <cstring>
#include <exception>

#include "QorvLib/uQorvFiles.h"
#include "QorvLib/uQorvLogger.h"
#include "core/uDiskIdentity.h"
#include "core/uJobSettings.h"
#include "core/uVersion.h"
#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "platform/uErrors.h"
#include "platform/uSystem.h"

namespace tavik {

namespace {

const char* const BreakTag = "<br />";

bool HasRecipients(const std::string& list) {
  return !RecipientEntries(list).empty();
}

// One HTML line per line break: a body joined into one line grows past the 998 octets a server
// takes with a dozen error lines, and the break renders the same.
std::string BrokenAfterTags(const std::string& body) {
  std::string r;
  size_t pos = 0;
  for (size_t at; (at = body.find(BreakTag, pos)) != std::string::npos; pos = at + std::strlen(BreakTag))
    r += body.substr(pos, at + std::strlen(BreakTag) - pos) + "\r\n";
  return r + body.substr(pos);
}

using TNotSent = std::function<void(const std::string&)>;

// The mail goes out with whatever reason the notifier found for a failure in front of the
// client's own error: "not connected" alone would hide that the server was never reached.
void Send(TNotifier& n, const std::string& list, const std::string& subjectSuffix, const std::string& body,
          const std::string& attachment, const TNotSent& notSent) {
  n.SendTo = list;
  n.Subject = ReportSubject(n, subjectSuffix);
  n.Body = BrokenAfterTags(body);
  std::vector<std::string> rejected;
  const bool anyone = !Recipients(list, &rejected).empty();
  if (notSent)
    for (const std::string& word : rejected)
      notSent("Mail \"" + n.Subject + "\" not sent to \"" + word + "\": not a mail address");
  if (!anyone) return;
  try {
    if (!n.SendMail(attachment) && notSent) notSent("Mail \"" + n.Subject + "\" not sent: " + n.LastError);
  } catch (const std::exception& e) {
    if (n.LastError.empty()) throw;
    throw EQorvError(n.LastError + ": " + e.what());
  }
}

std::string ChangeDiskText(const std::string& opening, const std::string& disk) {
  return disk.empty()
             ? opening
             : opening + BreakTag + "Disk to insert should be labelled: " + HtmlText(disk) + BreakTag;
}

}  // namespace

std::string ReportSubject(const TNotifier& n, const std::string& suffix) {
  return "[" + n.SiteID + ":" + n.SiteDescription + suffix;
}

std::string MailFooter() {
  return std::string(BreakTag) + "Sent by TavikBackupCopy " + std::string(ProgramVersion) + " on " +
         HtmlText(HostComputerName()) + ".";
}

std::string RunLogFilePath(const TQorvLogger& logger) {
  return logger.LogPath() + logger.LogFileName();
}

void SendReport(TNotifier& notifier, std::vector<std::string> errorLines, const TRunValues& values,
                const std::string& logFilePath, const TNotSent& notSent, const TReportHistory& history) {
  const std::string tables =
      history.volumesHtml.empty() && history.rotationHtml.empty()
          ? ""
          : std::string(BreakTag) + BreakTag + history.volumesHtml + history.rotationHtml;
  const std::string overdue =
      history.overdueLine.empty() ? "" : std::string(BreakTag) + HtmlText(history.overdueLine) + BreakTag;
  if (values.diskMismatch && HasRecipients(notifier.DiskChangeEmails)) {
    Send(notifier, notifier.DiskChangeEmails, "] Disk Change Error",
         std::string("Incorrect backup disk found in drive.<br /><br /> ID = ") + HtmlText(values.foundId) +
             ", Should be: " + HtmlText(values.expectedId) + BreakTag +
             "Next disk = " + HtmlText(values.nextDisk) + overdue + MailFooter(),
         "", notSent);
  }

  if (!errorLines.empty() && HasRecipients(notifier.ErrorEmails)) {
    std::string errors;
    for (const std::string& line : errorLines) errors += HtmlText(line) + BreakTag;
    // A refused run has no log of its own to attach: its mail says what did not happen and why.
    const std::string opening = values.refused ? "No backup was made: the run could not start.<br /><br />"
                                               : "Please see attached log file<br /><br />";
    Send(notifier, notifier.ErrorEmails, "] Backup Errors", opening + errors + overdue + MailFooter(),
         FileExists(logFilePath) ? logFilePath : "", notSent);
  } else if (HasRecipients(notifier.BackupCompleteEmails)) {
    // The office still needs the next disk, but a run with errors must never read as a clean one.
    const size_t errors = errorLines.size();
    const std::string errorCount = errors == 0
                                       ? ""
                                       : "The run wrote " + std::to_string(errors) +
                                             (errors == 1 ? " error line." : " error lines.") + BreakTag;
    Send(notifier, notifier.BackupCompleteEmails,
         std::string("] Backup Completed. Time to change disk.") + (errors == 0 ? "" : " (with errors)"),
         errorCount +
             ChangeDiskText("Your backup has completed. Please take the time now to change the disk",
                            values.nextDisk) +
             tables,
         "", notSent);
  }

  if (HasRecipients(notifier.LogEmails) && FileExists(logFilePath)) {
    std::string breaks;
    for (int i = 0; i < 6; ++i) breaks += BreakTag;
    Send(notifier, notifier.LogEmails, "] Backup Log",
         "Please see attached backup log." + breaks + tables + MailFooter(), logFilePath, notSent);
  }
}

bool PreCheckDisk(const std::string& jobSettingsPath, std::string* failure, bool* wrongDisk) {
  try {
    // Without its job file the pre-check would look for the identity file in the working folder.
    if (!FileExists(jobSettingsPath)) {
      if (failure) *failure = JobSettingsNotFound(jobSettingsPath);
      return false;
    }
    const std::string idPath = TJobSettings(jobSettingsPath).IDPath();
    TNotifier n;
    LoadSettings(n);
    if (const std::string problem = SettingsFileProblem(); !problem.empty()) {
      if (failure) *failure = problem;
      return false;
    }
    const std::string found = ReadDiskID(IdentityFilePath(idPath));
    const int today = WeekdayIndex(Now());
    const std::string expected = ScheduledID(n, today);
    if (found.empty() || !CheckFlag(n, today) || SameText(found, expected)) return true;
    if (wrongDisk) *wrongDisk = true;
    if (!HasRecipients(n.BackupCompleteEmails)) return true;
    Send(n, n.BackupCompleteEmails, "] Warning incorrect disk found. Please insert " + expected + ".",
         ChangeDiskText(
             "Backup precheck has detected you currently have the wrong disk plugged in. Please take "
             "the time now to change disks",
             expected),
         "", {});
    if (n.LastError.empty()) return true;
    if (failure) *failure = n.LastError;
    return false;
  } catch (const std::exception& e) {
    if (failure) *failure = e.what();
    return false;
  }
}

}  // namespace tavik
