#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "commands/uHistoryCommands.h"
#include "history/uHistory.h"
#include "history/uHistoryTables.h"
#include "notify/uNotifier.h"
#include "tests/support/TestSupport.h"

namespace tavik::test {
namespace {

using ::testing::AllOf;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr int64_t GB = 1000LL * 1000 * 1000;

class HistoryCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override { UnpinClock(); }

  // A night's run on disk: one volume per name, each copying a file.
  int64_t Night(THistory& h, int day, const std::string& disk, int exitStatus,
                const std::vector<std::string>& volumes, bool ended = true) {
    const TDateTime start = FromLocal(2026, 11, day, 22, 0, 0);
    const int64_t id = h.RecordRunStart(start, "server1");
    h.RecordDisk(id, disk, disk, 50 * GB, 100 * GB);
    for (const std::string& name : volumes) {
      THistoryVolume v;
      v.volume = name;
      v.chain = name + "_full";
      v.newestIncremental = name + "_full_i" + std::to_string(day) + ".spi";
      v.filesCopied = 2;
      v.bytesCopied = 4 * GB;
      v.seconds = 40;
      v.result = exitStatus == 1 && name == volumes.back() ? "Cannot open " + name : "OK";
      v.ended = start + std::chrono::minutes(5);
      h.RecordVolume(id, v, 46 * GB);
    }
    if (ended)
      h.RecordRunEnd(id, start + std::chrono::minutes(10), exitStatus, exitStatus == 1 ? 1 : 0, 46 * GB);
    return id;
  }

  TSealedEnv env;  // the default schedule: Disk1, Disk2, Disk3 checked Monday to Friday
  TTempDir dir;
  std::string path = dir / "TavikHistory.db";
  std::ostringstream out, err;
};

TEST_F(HistoryCommandsTest, WithoutARunStatusSaysSoAndExitsFour) {
  EXPECT_EQ(RunStatusCommand(out, err, path), ExitNoRunYet);
  EXPECT_THAT(out.str(), HasSubstr("No run recorded yet"));
  EXPECT_EQ(RunHistoryCommand(10, out, err, path), 0);
  EXPECT_FALSE(std::filesystem::exists(path));
  { THistory created(path); }
  EXPECT_EQ(RunStatusCommand(out, err, path), ExitNoRunYet);
  EXPECT_THAT(err.str(), IsEmpty());
}

TEST_F(HistoryCommandsTest, ThreeNightsWithTwoDisksShowTheLastRunAndTheRotation) {
  {
    THistory h(path);
    Night(h, 2, "Disk1", 0, {"C", "D"});
    Night(h, 3, "Disk2", 0, {"C", "D"});
    Night(h, 24, "Disk2", 1, {"C", "D"});
  }
  PinClock(FromLocal(2026, 11, 25, 9, 0, 0));
  EXPECT_EQ(RunStatusCommand(out, err, path), 1);
  const std::string text = out.str();
  EXPECT_THAT(text, AllOf(HasSubstr("Start:        24/11/2026 22:00"),
                          HasSubstr("End:          24/11/2026 22:10 (00:10:00)"),
                          HasSubstr("Result:       errors, exit status 1"), HasSubstr("Error lines:  1"),
                          HasSubstr("Disk:         Disk2, 46.0 GB free of 100.0 GB")));
  // Each volume: chain, what was copied, the outcome.
  EXPECT_THAT(text, ContainsRegex("C +C_full +C_full_i24.spi +- +2 +4.0 GB +40.0 s +100.0 MB/s +OK"));
  EXPECT_THAT(text, HasSubstr("Cannot open D"));
  // Disk1 last in 22 days ago is overdue; Disk3 of the schedule was never in.
  EXPECT_THAT(
      text, ContainsRegex("Disk2 +24/11/2026 22:00 +0 +46.0 GB +C: C_full up to C_full_i24.spi; D: D_full"));
  EXPECT_THAT(text, ContainsRegex("Disk1 +02/11/2026 22:00 +22 +46.0 GB .*OVERDUE"));
  EXPECT_THAT(text, ContainsRegex("Disk3 +never +- +- +- +OVERDUE"));
  EXPECT_THAT(err.str(), IsEmpty());

  std::ostringstream lines;
  EXPECT_EQ(HistoryCommandArgs({"2"}, lines, err, path), 0);
  EXPECT_EQ(lines.str(),
            "24/11/2026 22:00  00:10:00  errors (1)    1 error line  disk Disk2, 46.0 GB free\n"
            "03/11/2026 22:00  00:10:00  OK (0)        0 error lines  disk Disk2, 46.0 GB free\n");
  std::ostringstream all;
  EXPECT_EQ(HistoryCommandArgs({}, all, err, path), 0);
  const std::string three = all.str();
  EXPECT_EQ(std::count(three.begin(), three.end(), '\n'), 3);
}

// What Python's json module makes of doc: each expression's value, printed as json.dumps prints
// it, one per line.
std::vector<std::string> PythonReads(const std::string& doc, const std::vector<std::string>& expressions,
                                     const std::string& folder) {
  const std::string file = folder + "/status.json", script = folder + "/read.py";
  WriteFile(file, doc);
  std::string py = "import json, sys\nd = json.load(open(sys.argv[1]))\n";
  for (const std::string& e : expressions) py += "print(json.dumps(" + e + "))\n";
  WriteFile(script, py);
  FILE* p = ::popen(("python3 " + script + " " + file + " 2>&1").c_str(), "r");
  std::string text;
  char buf[4096];
  for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  if (p) ::pclose(p);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// --status --json tells what the text tells, as one document Python's json reads, with the same
// exit status: for a fresh machine, a good night, a failed one and the wrong disk.
TEST_F(HistoryCommandsTest, StatusAsJsonSaysWhatTheTextSays) {
  PinClock(FromLocal(2026, 11, 25, 9, 0, 0));
  const std::vector<std::string> facts = {
      "d['exit_status']",
      "d['last_run'] and d['last_run']['result']",
      "d['last_run'] and d['last_run']['exit_status']",
      "d['last_run'] and d['last_run']['start']",
      "d['last_run'] and d['last_run']['disk']",
      "d['last_run'] and d['last_run']['disk_expected']",
      "d['last_run'] and d['last_run']['error_lines']",
      "d['last_run'] and [(v['volume'], v['files_copied'], v['bytes_copied'], v['result']) for v in "
      "d['last_run']['volumes']]",
      "[(r['disk'], r['overdue']) for r in d['rotation']]",
      "d['last_run'] and d['last_run']['errors']",
      "d['history']",
  };
  struct TCase {
    const char* name;
    int status;
    int exitStatus;  // of the night; none for an empty history
    const char* disk;
    std::vector<std::string> want;  // as Python prints each fact
  };
  const TCase cases[] = {
      {"empty history",
       4,
       -1,
       "",
       {"4", "null", "null", "null", "null", "null", "null", "null", "[]", "null"}},
      {"a good night",
       0,
       0,
       "Disk1",
       {"0", "\"OK\"", "0", "\"2026-11-24T22:00:00+00:00\"", "\"Disk1\"", "\"Disk1\"", "0",
        "[[\"C\", 2, 4000000000, \"OK\"]]", "[[\"Disk1\", false], [\"Disk2\", false], [\"Disk3\", false]]",
        "[]"}},
      {"a failed night",
       1,
       1,
       "Disk1",
       {"1", "\"errors\"", "1", "\"2026-11-24T22:00:00+00:00\"", "\"Disk1\"", "\"Disk1\"", "1",
        "[[\"C\", 2, 4000000000, \"Cannot open C\"]]",
        "[[\"Disk1\", false], [\"Disk2\", false], [\"Disk3\", false]]", "[\"Cannot open C\"]"}},
      {"the wrong disk",
       3,
       3,
       "Disk7",
       {"3", "\"wrong disk\"", "3", "\"2026-11-24T22:00:00+00:00\"", "\"Disk7\"", "\"Disk1\"", "0",
        "[[\"C\", 2, 4000000000, \"OK\"]]",
        "[[\"Disk7\", false], [\"Disk1\", false], [\"Disk2\", false], [\"Disk3\", false]]", "[]"}},
  };
  for (const TCase& c : cases) {
    TTempDir folder;
    const std::string db = folder / "TavikHistory.db";
    if (c.exitStatus >= 0) {
      THistory h(db);
      const int64_t run = Night(h, 24, c.disk, c.exitStatus, {"C"});
      h.RecordDisk(run, c.disk, "Disk1", 50 * GB, 100 * GB);
      if (c.exitStatus == 1) h.RecordRunErrors(run, {"Cannot open C"});
    }
    std::ostringstream text, json, e;
    const int textStatus = RunStatusCommand(text, e, db);
    EXPECT_EQ(textStatus, c.status) << c.name << text.str() << e.str();
    EXPECT_EQ(RunStatusCommand(json, e, db, true), textStatus) << c.name;
    std::vector<std::string> want = c.want;
    want.push_back("\"" + db + "\"");
    EXPECT_EQ(PythonReads(json.str(), facts, folder.Path()), want) << c.name << "\n" << json.str();
    if (c.exitStatus < 0) continue;
    // The same facts in the text form.
    EXPECT_THAT(text.str(), AllOf(HasSubstr("Start:        24/11/2026 22:00"),
                                  HasSubstr("exit status " + std::to_string(c.exitStatus)),
                                  HasSubstr("Disk:         " + std::string(c.disk))))
        << c.name;
  }

  // --history --json: the runs, newest first, with numbers as numbers.
  {
    THistory h(path);
    Night(h, 2, "Disk1", 0, {"C"});
    Night(h, 3, "Disk2", 1, {"C"});
  }
  std::ostringstream json, e;
  EXPECT_EQ(HistoryCommandArgs({"--json", "5"}, json, e, path), 0);
  EXPECT_EQ(
      PythonReads(json.str(),
                  {"[(r['start'], r['exit_status'], r['error_lines'], r['disk'], r['elapsed_seconds']) for r "
                   "in d['runs']]"},
                  dir.Path()),
      std::vector<std::string>{"[[\"2026-11-03T22:00:00+00:00\", 1, 1, \"Disk2\", 600.0], "
                               "[\"2026-11-02T22:00:00+00:00\", 0, 0, \"Disk1\", 600.0]]"})
      << json.str();
}

TEST_F(HistoryCommandsTest, ARunThatNeverEndedIsShownAsSuchAndFails) {
  {
    THistory h(path);
    Night(h, 2, "Disk1", 0, {"C"});
    Night(h, 3, "Disk2", 0, {"C", "D"}, false);
  }
  EXPECT_EQ(RunStatusCommand(out, err, path), 1);
  EXPECT_THAT(out.str(), AllOf(HasSubstr("none: still running, or stopped before its end"),
                               HasSubstr("Result:       did not end\n")));
}

TEST_F(HistoryCommandsTest, AHistoryThatCannotBeReadIsAnErrorLine) {
  WriteFile(path, "this is no database, but long enough to be taken for one by its size........");
  EXPECT_EQ(RunStatusCommand(out, err, path), 1);
  EXPECT_THAT(err.str(), HasSubstr(path));
  EXPECT_EQ(RunHistoryCommand(3, out, err, path), 1);
}

TEST_F(HistoryCommandsTest, HistoryTakesOneCountFromOneUp) {
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"0"}, {"-1"}, {"x"}, {"3", "4"}, {""}, {"99999999999"}}) {
    std::ostringstream e;
    EXPECT_EQ(HistoryCommandArgs(bad, out, e, path), 2) << bad[0];
    EXPECT_THAT(e.str(), HasSubstr("--history takes one number")) << bad[0];
  }
}

// An ID.txt, a volume or an error line holding terminal control bytes (a planted file name, a
// hostile label) reaches neither a terminal nor a mail as it is.
TEST_F(HistoryCommandsTest, ControlBytesFromDisksAreShownEscaped) {
  const std::string id = "Disk\x1b]0;owned\x07", volume = "C\x1b[2J";
  {
    THistory h(path);
    const int64_t run = Night(h, 2, id, 1, {volume});
    h.RecordRunErrors(run, {"File skipped /src/" + volume + ": not a regular file"});
  }
  std::ostringstream history;
  EXPECT_EQ(RunStatusCommand(out, err, path), 1);
  EXPECT_EQ(RunHistoryCommand(3, history, err, path), 0);
  TRotationDisk d;
  d.id = id;
  for (const auto& [what, text] : {std::pair{"--status", out.str()}, std::pair{"--history", history.str()},
                                   std::pair{"the mail's table", RotationHtml({d})}}) {
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << what << ": " << text;
    EXPECT_EQ(text.find('\x07'), std::string::npos) << what;
    EXPECT_THAT(text, HasSubstr("Disk\\x1B]0;owned\\x07")) << what;
  }
  EXPECT_THAT(out.str(), HasSubstr("File skipped /src/C\\x1B[2J: not a regular file\n"));
}

TEST(HistoryTablesTest, HtmlTablesEscapeWhatTheyShow) {
  TRotationDisk d;
  d.id = "<Disk&1>";
  d.overdue = true;
  d.filling = true;
  const std::string html = RotationHtml({d});
  EXPECT_THAT(html, AllOf(HasSubstr("<td>&lt;Disk&amp;1&gt;</td>"), HasSubstr("OVERDUE, FILLING"),
                          HasSubstr("<th>Disk</th>")));
  EXPECT_THAT(html, Not(HasSubstr("<Disk")));
  EXPECT_EQ(BytesText(999), "999 B");
  EXPECT_EQ(BytesText(1500), "1.5 kB");
  EXPECT_EQ(BytesText(2 * GB), "2.0 GB");
}

}  // namespace
}  // namespace tavik::test
