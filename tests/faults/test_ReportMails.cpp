// The report mails of whole unattended runs as a real server receives them and a standards-
// following reader reads them: long error reports, text in any script, a full temporary folder,
// file names that hold line breaks and a settings file the run cannot read.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "notify/uTestMail.h"
#include "run/uReport.h"
#include "run/uRunLock.h"
#include "tests/faults/FaultRun.h"
#include "tests/support/Schedule.h"

namespace tavik::test {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const std::string Tokyo = "\xE6\x9D\xB1\xE4\xBA\xAC";
const std::string Buero = "B\xC3\xBCro";

// Every line of a mail as it went over the wire is at most 998 octets.
void ExpectLinesWithinTheLimit(const std::string& raw) {
  size_t pos = 0, longest = 0;
  while (pos < raw.size()) {
    size_t end = raw.find('\n', pos);
    if (end == std::string::npos) end = raw.size();
    longest = std::max(longest, end - pos - (end > pos && raw[end - 1] == '\r' ? 1 : 0));
    pos = end + 1;
  }
  EXPECT_LE(longest, 998u);
}

// The HTML part of a parsed mail with its line breaks taken out, as a browser reads it.
std::string HtmlText(const TParsedMail& mail) {
  std::string text;
  for (const auto& part : mail.parts)
    if (part.contentType == "text/html")
      for (char c : part.payload)
        if (c != '\r' && c != '\n') text += c;
  return text;
}

// The HTML part carries one line per break: each "<br />" ends its line, so no server or reader
// depends on quoted-printable's soft breaks to keep a long report within the line limit.
void ExpectALinePerBreak(const TParsedMail& mail) {
  for (const auto& part : mail.parts) {
    if (part.contentType != "text/html") continue;
    // The line end composition puts after the body ends no line of the body's own.
    std::string body = part.payload;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
    size_t pos = 0;
    while (pos < body.size()) {
      size_t end = body.find('\n', pos);
      const bool last = end == std::string::npos;
      if (last) end = body.size();
      std::string line = body.substr(pos, end - pos);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t br = line.find("<br />");
      if (br != std::string::npos) {
        EXPECT_EQ(br + 6, line.size()) << "a line goes on after its break: " << line;
      }
      // The history's tables stand a row to a line, as HTML tables need no break.
      const bool tableMarkup =
          line.rfind("<table", 0) == 0 || line.rfind("<tr>", 0) == 0 || line == "</table>";
      if (!last && !line.empty() && !tableMarkup) {
        EXPECT_TRUE(line.size() >= 6 && line.compare(line.size() - 6, 6, "<br />") == 0)
            << "a line ends without a break: " << line;
      }
      pos = end + 1;
    }
  }
}

// Text as it must stand in an HTML body: markup characters as entities.
std::string AsHtml(const std::string& text) {
  std::string r;
  for (char c : text) {
    if (c == '&')
      r += "&amp;";
    else if (c == '<')
      r += "&lt;";
    else if (c == '>')
      r += "&gt;";
    else if (c == '"')
      r += "&quot;";
    else
      r += c;
  }
  return r;
}

struct TRunCase {
  const char* name;
  int volumes;         // each with a source folder that is missing
  std::string folder;  // the missing folders' common part, repeated to make long error lines
  std::string siteId;
  std::string siteName;
  std::string diskId;  // on the disk; every day expects "Disk-" + Buero
};

void PrintTo(const TRunCase& c, std::ostream* os) {
  *os << c.name;
}

class ReportRuns : public FaultRunTest, public ::testing::WithParamInterface<TRunCase> {};

TEST_P(ReportRuns, EveryMailArrivesAndReadsRight) {
  const TRunCase& c = GetParam();
  TAioSmtpServer server;
  server.Start();
  SaveMailSettings(server.Port());
  TNotifier n;
  LoadSettings(n);
  n.SiteID = c.siteId;
  n.SiteDescription = c.siteName;
  ScheduleEveryDay(n, "Disk-" + Buero);
  n.DiskChangeEmails = "disks@example.org";
  n.LogEmails = "log@example.org";
  SaveSettings(n);
  WriteFile(dst + "/ID.txt", c.diskId + "\r\n");

  std::string sources, dests, volumes;
  std::vector<std::string> errors;
  for (int v = 0; v < c.volumes; ++v) {
    const std::string s = dir / (c.folder + std::to_string(v));
    sources += (v ? "," : "") + s;
    dests += (v ? "," : "") + dst + std::to_string(v);
    volumes += (v ? "," : "") + std::string("V") + std::to_string(v);
    errors.push_back("Source Directory " + s + " not found");
  }
  WriteFile(jobPath, "[Main]\r\nSystemDiskAllowed=1\r\nMaxImageAgeHours=0\r\nIDPath=" + dst + "\r\nSource=" +
                         sources + "\r\nDestination=" + dests + "\r\nVolume=" + volumes + "\r\n");

  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  EXPECT_EQ(r.ErrorLines(), std::vector<std::string>{}) << "the lines are the volumes' own, not Error: ones";

  const std::string prefix = "[" + c.siteId + ":" + c.siteName + "] ";
  const std::vector<TReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 3u);
  std::vector<std::string> subjects;
  for (const TReceivedMail& m : mails) {
    ExpectLinesWithinTheLimit(m.raw);
    const TParsedMail parsed = ParseMailWithPython(m.raw);
    EXPECT_EQ(parsed.defects, 0) << parsed.defectText;
    ExpectALinePerBreak(parsed);
    // Ordinary mail to a filter's local rules, and the same words for a text-only reader.
    const TSpamScore spam = ScoreWithSpamAssassin(m.raw);
    EXPECT_LE(spam.score, 0.5) << parsed.Header("Subject") << "\n" << spam.report;
    std::cout << "spam score " << parsed.Header("Subject") << ": " << spam.score << "\n";
    subjects.push_back(parsed.Header("Subject"));
    for (const auto& part : parsed.parts)
      if (part.contentType == "text/html") {
        EXPECT_EQ(part.charset, "utf-8");
      }
  }
  EXPECT_THAT(subjects,
              ElementsAre(prefix + "Disk Change Error", prefix + "Backup Errors", prefix + "Backup Log"));
  EXPECT_THAT(HtmlText(ParseMailWithPython(mails[0].raw)),
              HasSubstr(" ID = " + AsHtml(c.diskId) + ", Should be: Disk-" + Buero + "<br />"));
  const std::string errorReport = HtmlText(ParseMailWithPython(mails[1].raw));
  for (const std::string& e : errors) EXPECT_THAT(errorReport, HasSubstr(AsHtml(e) + "<br />"));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ReportRuns,
    ::testing::Values(
        // Twelve error lines of about 120 characters: joined into one line they would pass 998.
        TRunCase{"TwelveMissingSources", 12, "a-source-folder-that-is-not-there/" + std::string(64, 's'),
                 "S01", "Office", "Disk3"},
        TRunCase{"TextInAnyScript", 2, Buero + "/" + Tokyo + "-", Tokyo, Buero + " " + Tokyo, Tokyo + "-1"},
        // Paths and disk IDs are the user's text, never markup of the mail.
        TRunCase{"MarkupInValues", 1, "<b>R&D</b>-", "S01", "Office", "<i>Disk&3</i>"}),
    [](const auto& info) { return std::string(info.param.name); });

// The mails the runs above never send, each made the way the program makes it: the completion
// notice of a clean run, the refusal of a run that finds another one holding the lock, the
// pre-check's wrong-disk warning and the test message. Each is ordinary mail to a filter's local
// rules.
class OtherMailTypes : public FaultRunTest {};

TEST_F(OtherMailTypes, EachScoresAsOrdinaryMail) {
  TAioSmtpServer server;
  server.Start();
  SaveMailSettings(server.Port());

  const TRunResult clean = RunUnattended();
  ASSERT_TRUE(clean.endedByItself);
  EXPECT_FALSE(clean.hadErrors) << clean.errors;
  {
    TRunLock other;
    ASSERT_TRUE(other.TryAcquire());
    const TRunResult refused = RunUnattended();
    ASSERT_TRUE(refused.endedByItself);
    EXPECT_TRUE(refused.hadErrors);
  }
  TNotifier n;
  LoadSettings(n);
  n.IDDisk = true;
  n.IDDiskMon = true;  // the pinned day is a Monday
  n.MondayID = "Disk-B";
  SaveSettings(n);
  WriteFile(dst + "/ID.txt", "Disk-A\r\n");
  WriteFile(jobPath, "[Main]\r\nSystemDiskAllowed=1\r\nMaxImageAgeHours=0\r\nIDPath=" + dst +
                         "\r\nSource=" + src + "\r\nDestination=" + dst + "\r\nVolume=C\r\n");
  std::string failure;
  bool wrongDisk = false;
  EXPECT_TRUE(PreCheckDisk(jobPath, &failure, &wrongDisk)) << failure;
  EXPECT_TRUE(wrongDisk);
  std::string reason;
  EXPECT_TRUE(SendTestMessage(n, "admin@example.org", reason)) << reason;

  const std::vector<TReceivedMail> mails = server.Messages();
  std::vector<std::string> subjects;
  for (const TReceivedMail& m : mails) {
    const TParsedMail parsed = ParseMailWithPython(m.raw);
    EXPECT_EQ(parsed.defects, 0) << parsed.defectText;
    const TSpamScore spam = ScoreWithSpamAssassin(m.raw);
    EXPECT_LE(spam.score, 0.5) << parsed.Header("Subject") << "\n" << spam.report;
    std::cout << "spam score " << parsed.Header("Subject") << ": " << spam.score << "\n";
    subjects.push_back(parsed.Header("Subject"));
  }
  EXPECT_THAT(
      subjects,
      ElementsAre("[S01:Office] Backup Completed. Time to change disk.", "[S01:Office] Backup Errors",
                  "[S01:Office] Warning incorrect disk found. Please insert Disk-B.", TestMailSubject));
}

// A tmpfs of the test's own, full to the last block, and unmounted whatever happens.
class TFullTmpfs {
 public:
  explicit TFullTmpfs(const std::string& path) : path_(path) {
    std::filesystem::create_directories(path_);
    if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=64k") != 0) {
      reason_ = std::string("mount not permitted: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
    const std::string filler(4096, 'f');
    std::ofstream fill(path_ + "/filler", std::ios::binary);
    for (int i = 0; i < 64 && fill; ++i)
      fill.write(filler.data(), static_cast<std::streamsize>(filler.size()));
  }
  ~TFullTmpfs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  const std::string& Reason() const { return reason_; }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string reason_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old, had_ = true;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_)
      ::setenv(name_, saved_.c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::string saved_;
  bool had_ = false;
};

class ReportFaults : public FaultRunTest {};

// Encoding the log needs a temporary file; with the temporary folder full every mail still goes.
TEST_F(ReportFaults, FullTemporaryFolderCostsOnlyTheAttachment) {
  TFullTmpfs tmp(dir / "tmp");
  if (!tmp.Mounted()) GTEST_SKIP() << tmp.Reason();
  TAioSmtpServer server;
  server.Start();
  SaveMailSettings(server.Port());
  TNotifier n;
  LoadSettings(n);
  n.LogEmails = "log@example.org";
  SaveSettings(n);
  TRunResult r;
  {
    const ScopedEnv tmpdir("TMPDIR", dir / "tmp");
    r = RunUnattended();
  }
  ASSERT_TRUE(r.endedByItself);
  EXPECT_THAT(r.ErrorLines(), IsEmpty());
  const std::vector<TReceivedMail> mails = server.Messages();
  ASSERT_EQ(mails.size(), 2u);
  const TParsedMail log = ParseMailWithPython(mails[1].raw);
  EXPECT_EQ(log.Header("Subject"), "[S01:Office] Backup Log");
  for (const auto& part : log.parts) EXPECT_EQ(part.fileName, "");
  EXPECT_THAT(HtmlText(log),
              AllOf(StartsWith("The file " + std::filesystem::path(logPath).filename().string() +
                               " could not be attached: "),
                    HasSubstr("No space left on device"), HasSubstr("Please see attached backup log.")));
}

// A file name holding a line break is one log line, not a forged second one.
TEST_F(ReportFaults, FileNameWithALineBreakStaysOnOneLogLine) {
  WriteFile(src + "/C_new_i2\n[07.12.26 09:30:00.000]\t0\tFile copied.spi", "forged");
  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  const std::string log = ReadFile(logPath);
  size_t lines = 0, breaks = 0;
  for (size_t pos = 0; pos < log.size(); ++lines) {
    EXPECT_EQ(log[pos], '[') << log.substr(pos, 80);
    const size_t end = log.find("\r\n", pos);
    if (end == std::string::npos) break;
    pos = end + 2;
  }
  for (char c : log) breaks += c == '\n' || c == '\r';
  EXPECT_EQ(breaks, 2 * lines) << "every line ends in CR LF, and no other line break is left";
  EXPECT_THAT(log, HasSubstr("C_new_i2\\n[07.12.26 09:30:00.000]\\t0\\tFile copied.spi to "));
  EXPECT_GT(lines, 5u);
}

// A settings file that exists but cannot be read is an error, not silent defaults.
TEST_F(ReportFaults, UnreadableSettingsFileIsAnErrorLine) {
  std::filesystem::create_directories(SettingsFileName());  // a folder where the file should be
  const TRunResult r = RunUnattended();
  ASSERT_TRUE(r.endedByItself);
  EXPECT_THAT(r.ErrorLines(), ElementsAre("Error: Cannot read " + SettingsFileName() + ": Is a directory"));
  EXPECT_THAT(r.lines, Contains(StartsWith("Processing Volume C")));  // and the run goes on with the defaults
}

}  // namespace
}  // namespace tavik::test
