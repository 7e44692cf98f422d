#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvFiles.h"
#include "platform/uErrors.h"
#include "platform/uFiles.h"
#include "platform/uSystem.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

using test::ReadFile;
using test::TScriptedUi;
using test::TTempDir;
using test::WriteFile;

constexpr bool kWindows = PathDelim == '\\';
// What the system calls a path through a file that is no folder.
#ifdef _WIN32
constexpr int kNotAFolder = 3;  // ERROR_PATH_NOT_FOUND
#else
constexpr int kNotAFolder = ENOTDIR;
#endif

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  return s;
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.insert(e.path().filename().string());
  return names;
}

struct TBarRecorder : TProgressTarget {
  int max = -1;
  int pos = -1;
  std::vector<int> positions;
  void SetMax(int value) override { max = value; }
  void SetPosition(int value) override {
    pos = value;
    positions.push_back(value);
  }
  int Position() const override { return pos; }
};

struct TProgressCall {
  double rate;
  int32_t pos;
  int32_t total;
};

class Copier : public ::testing::Test {
 protected:
  void SetUp() override { fc.BlockSize = 1000; }
  void RecordProgress() {
    fc.OnProgress = [this](double rate, int32_t pos, int32_t total) { calls.push_back({rate, pos, total}); };
  }
  TTempDir dir;
  TScriptedUi ui;
  TQorvFileCopier fc;
  std::vector<TProgressCall> calls;
};

// --- the copy itself ---------------------------------------------------------------------------

struct TSizeCase {
  size_t size;
  bool kernel;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const TSizeCase& c, std::ostream* os) {
  *os << c.size << (c.kernel ? " bytes, kernel copy" : " bytes, read and write");
}

class CopierSizes : public Copier, public ::testing::WithParamInterface<TSizeCase> {};

TEST_P(CopierSizes, BytesProgressAndBarStepByBlock) {
  const auto [size, kernel] = GetParam();
  fc.UseKernelCopy = kernel;
  TBarRecorder bar;
  fc.ProgBar = &bar;
  RecordProgress();
  const std::string data = Pattern(size);
  WriteFile(dir / "src.spf", data);

  ASSERT_EQ(fc.CopyFileTo(dir / "src.spf", dir / "dst.spf"), crCopied);

  EXPECT_EQ(ReadFile(dir / "dst.spf"), data);
  // Every full block is followed by one more read; the last one, short or empty, ends the copy.
  const size_t blocks = size / 1000 + 1;
  ASSERT_EQ(calls.size(), blocks);
  for (size_t i = 0; i < blocks; ++i) {
    EXPECT_EQ(calls[i].pos, static_cast<int32_t>(std::min(size, (i + 1) * 1000)));
    EXPECT_EQ(calls[i].total, static_cast<int32_t>(size));
  }
  EXPECT_EQ(ui.processed, static_cast<int>(blocks));
  EXPECT_EQ(bar.max, static_cast<int>(size));
  EXPECT_EQ(bar.positions.front(), 0);
  EXPECT_EQ(bar.pos, static_cast<int>(blocks * 1000));  // a full step for the short last block too
  EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"src.spf", "dst.spf"}));
}

INSTANTIATE_TEST_SUITE_P(Sizes, CopierSizes,
                         ::testing::Values(TSizeCase{0, true}, TSizeCase{1, true}, TSizeCase{999, true},
                                           TSizeCase{1000, true}, TSizeCase{2000, true},
                                           TSizeCase{2500, true}, TSizeCase{0, false}, TSizeCase{1000, false},
                                           TSizeCase{2000, false}, TSizeCase{2500, false},
                                           // Around the chunk of whole blocks that moves per call.
                                           TSizeCase{1048000, false}, TSizeCase{2096000, true},
                                           TSizeCase{2500500, false}, TSizeCase{2500500, true}),
                         [](const auto& info) {
                           return std::to_string(info.param.size) +
                                  (info.param.kernel ? "_kernel" : "_readwrite");
                         });

TEST_F(Copier, BlockSizeOfZeroOrLessCopiesWithTheDefault) {
  for (int32_t bs : {0, -5}) {
    fc.BlockSize = bs;
    calls.clear();
    RecordProgress();
    WriteFile(dir / "src", Pattern(2 * 24576));
    ASSERT_EQ(fc.CopyFileTo(dir / "src", dir / "dst"), crCopied);
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(ReadFile(dir / "dst"), Pattern(2 * 24576));
  }
}

TEST_F(Copier, WithoutOnProgressNoMessagesAreProcessed) {
  WriteFile(dir / "src", Pattern(3000));
  ASSERT_EQ(fc.CopyFileTo(dir / "src", dir / "dst"), crCopied);
  EXPECT_EQ(ui.processed, 0);
}

TEST_F(Copier, FolderDestinationTakesTheSourceName) {
  WriteFile(dir / "in/Vol1_full.spf", "image");
  std::filesystem::create_directories(dir / "out");
  ASSERT_EQ(fc.CopyFileTo(dir / "in/Vol1_full.spf", dir / "out"), crCopied);
  EXPECT_EQ(ReadFile(dir / "out/Vol1_full.spf"), "image");
  ASSERT_EQ(fc.CopyFileTo(dir / "in/Vol1_full.spf", dir / "out/"), crCopied);
  EXPECT_EQ(Names(dir / "out"), (std::set<std::string>{"Vol1_full.spf"}));
}

// The imaging product may still hold an image open for writing, letting others only read it
// (Windows' share modes; POSIX has none): the copy must not be kept out. Nor may a destination
// deeper than Windows' old 260-character limit.
TEST_F(Copier, ASourceHeldOpenByItsWriterAndADeepDestinationAreCopied) {
  TFile writer = TFile::CreateAlways(dir / "held.spi", ShareRead);
  ASSERT_TRUE(writer.IsOpen());
  ASSERT_TRUE(writer.WriteAll("being written", 13));
  ASSERT_TRUE(writer.Flush());
  std::string deep = dir / "";
  while (deep.size() < 300) deep += "a-folder-of-the-backup-disk/";
  deep = dir / deep.substr(dir.Path().size() + 1) + "held.spi";
  fc.HashCopies = true;
  ASSERT_EQ(fc.CopyFileTo(dir / "held.spi", deep), crCopied);
  std::string content;
  ASSERT_TRUE(ReadWholeFile(deep, content));
  EXPECT_EQ(content, "being written");
  std::string hex;
  int err = 0;
  ASSERT_TRUE(TQorvFileCopier::FileSha256(deep, hex, err));
  EXPECT_EQ(hex, fc.LastSha256());
}

TEST_F(Copier, MissingFoldersAreCreated) {
  WriteFile(dir / "src", "x");
  ASSERT_EQ(fc.CopyFileTo(dir / "src", dir / "a/b/c/file"), crCopied);
  EXPECT_EQ(ReadFile(dir / "a/b/c/file"), "x");
}

TEST(ProgressScale, FitsA32BitRange) {
  struct {
    int64_t size;
    int32_t block;
    int32_t max, step;
  } cases[] = {
      {1000, 24576, 1000, 24576},
      {3LL << 30, 24576, 3 << 20, 24},  // 3 GiB: a thousandth-and-some of the size, 24 per block
      {2147483647LL, 24576, 2147483647, 24576},
      {2147483648LL, 24576, 2097152, 24},
      {5LL << 40, 262144, 5 << 20, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    TProgressScale s = ScaleProgress(c.size, c.block);
    EXPECT_EQ(s.Max, c.max);
    EXPECT_EQ(s.Step, c.step);
  }
}

// --- dates and attributes ----------------------------------------------------------------------

TFileTime MTime(const std::string& path) {
  TFileInfo info;
  if (!PathInfo(path, info)) throw std::runtime_error("stat " + path);
  return info.modified;
}

#ifndef _WIN32
TEST_F(Copier, KeepFileDateGivesEvenLocalSecondsWithoutFractions) {
  struct {
    const char* tz;
    time_t sec;
    long nsec;
    time_t expected;
  } cases[] = {
      {"UTC0", 1700000001, 0, 1700000000},
      {"UTC0", 1700000002, 999999999, 1700000002},
      {"UTC0", 1700000003, 500000000, 1700000002},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1690000001, 250000000, 1690000000},
      // A zone one second east of UTC: the even local second is an odd universal one.
      {"ODD-00:00:01", 1700000000, 0, 1699999999},
      {"ODD-00:00:01", 1700000001, 0, 1700000001},
  };
  fc.KeepFileDate = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.tz) + " " + std::to_string(c.sec));
    test::TScopedTz tz(c.tz);
    WriteFile(dir / "src", "data");
    timespec times[2] = {{0, UTIME_OMIT}, {c.sec, c.nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "src").c_str(), times, 0), 0);
    ASSERT_EQ(fc.CopyFileTo(dir / "src", dir / "dst"), crCopied);
    const TFileTime got = MTime(dir / "dst");
    EXPECT_EQ(got.sec, c.expected);
    EXPECT_EQ(got.nsec, 0);
  }
}
#endif

TEST_F(Copier, WithoutKeepFileDateTheCopyIsNew) {
  WriteFile(dir / "src", "data");
  test::SetMTime(dir / "src", 1000000000);
  ASSERT_EQ(fc.CopyFileTo(dir / "src", dir / "dst"), crCopied);
  EXPECT_GT(MTime(dir / "dst").sec, 1600000000);
}

TEST_F(Copier, ReadOnlyAndHiddenDestinationsAreReplaced) {
  WriteFile(dir / "src", "new content");
  for (const char* name : {"ro.spf", ".hidden.spf"}) {
    SCOPED_TRACE(name);
    WriteFile(dir / name, "old");
    ASSERT_TRUE(SetPathMode(dir / name, 0444));
    ASSERT_EQ(fc.CopyFileTo(dir / "src", dir / name), crCopied);
    EXPECT_EQ(ReadFile(dir / name), "new content");
    TFileInfo info;
    ASSERT_TRUE(PathInfo(dir / name, info));
    EXPECT_TRUE(info.mode & 0200);
  }
}

#ifndef _WIN32
mode_t Mode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("stat " + path);
  return st.st_mode & 07777;
}

// Whatever the umask: the copy has its source's bits, the folder the copier makes has its
// source folder's, each with what the owner needs to replace or fill it.
TEST_F(Copier, CopiesAndTheFoldersMadeForThemKeepTheSourcesPermissions) {
  struct {
    mode_t mode, file, folder;
  } cases[] = {
      {0600, 0600, 0700}, {0640, 0640, 0740}, {0644, 0644, 0744}, {0444, 0644, 0744}, {0755, 0755, 0755}};
  for (const auto& c : cases) {
    for (mode_t umask : {022, 0277}) {
      SCOPED_TRACE(std::to_string(c.mode) + " under umask " + std::to_string(umask));
      std::filesystem::remove_all(dir / "s");
      std::filesystem::remove_all(dir / "d");
      std::filesystem::create_directories(dir / "s");
      WriteFile(dir / "s/image", "x");
      ASSERT_EQ(::chmod((dir / "s/image").c_str(), c.mode), 0);
      ASSERT_EQ(::chmod((dir / "s").c_str(), c.mode), 0);
      const mode_t old = ::umask(umask);
      const TCopyResult r = fc.CopyFileTo(dir / "s/image", dir / "d/e/image");
      ::umask(old);
      ASSERT_EQ(r, crCopied);
      EXPECT_EQ(Mode(dir / "d/e/image"), c.file);
      EXPECT_EQ(Mode(dir / "d/e"), c.folder);
      EXPECT_EQ(Mode(dir / "d"), c.folder);
    }
  }
}

#endif

// --- the running program -----------------------------------------------------------------------

TEST_F(Copier, RunningExecutableIsNeverOverwritten) {
  const std::string exe = ExecutablePath();
  ASSERT_FALSE(exe.empty());
  const std::string before = ReadFile(exe);
  WriteFile(dir / ExtractFileName(exe), "not a program");
#ifndef _WIN32
  ASSERT_EQ(::symlink(exe.c_str(), (dir / "link").c_str()), 0);
#endif
  bool beforeCopyCalled = false;
  fc.OnBeforeCopy = [&](TQorvFileCopier*, const std::string&, std::string&, bool&) {
    beforeCopyCalled = true;
  };

  std::string upper = exe;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  std::vector<std::string> dests = {exe, upper, ExtractFilePath(exe)};
  if (!kWindows) dests.push_back(dir / "link");
  for (const std::string& d : dests) {
    SCOPED_TRACE(d);
    EXPECT_EQ(fc.CopyFileTo(dir / ExtractFileName(exe), d), crIgnored);
  }
  EXPECT_FALSE(beforeCopyCalled);
  EXPECT_EQ(ReadFile(exe), before);
  // Names are case-blind on Windows: there the other spelling is the program itself.
  EXPECT_FALSE(!kWindows && std::filesystem::exists(upper) && upper != exe);
  EXPECT_FALSE(std::filesystem::exists(TQorvFileCopier::PartialPath(exe)));
}

// --- hooks -------------------------------------------------------------------------------------

TEST_F(Copier, NewFileAndBeforeCopyAnswersAreObeyed) {
  WriteFile(dir / "src", "abc");
  struct {
    const char* name;
    bool newFileSkip, newFileThrows, beforeSkip, beforeThrows, redirect;
    TCopyResult result;
    bool dstWritten, otherWritten;
  } cases[] = {
      {"NewFileSkip", true, false, false, false, false, crNone, false, false},
      {"NewFileThrows", false, true, false, false, false, crAborted, false, false},
      {"BeforeCopySkip", false, false, true, false, false, crNone, false, false},
      {"BeforeCopyThrows", false, false, false, true, false, crAborted, false, false},
      {"BeforeCopyRedirects", false, false, false, false, true, crCopied, false, true},
      {"Nothing", false, false, false, false, false, crCopied, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir / "dst");
    std::filesystem::remove(dir / "other");
    std::vector<std::string> seen;
    fc.OnNewFile = [&](const std::string& file, bool& skip) {
      seen.push_back("new " + file + (skip ? " skip" : ""));
      if (c.newFileThrows) throw std::runtime_error("no");
      skip = c.newFileSkip;
    };
    fc.OnBeforeCopy = [&](TQorvFileCopier* sender, const std::string& file, std::string& dest, bool& skip) {
      EXPECT_EQ(sender, &fc);
      seen.push_back("before " + file + " " + dest + (skip ? " skip" : ""));
      if (c.beforeThrows) throw EQorvError("no");
      if (c.redirect) dest = dir / "other";
      skip = c.beforeSkip;
    };
    EXPECT_EQ(fc.CopyFileTo(dir / "src", dir / "sub/../dst"), c.result);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0], "new " + dir / "src");
    if (!c.newFileSkip && !c.newFileThrows) {
      ASSERT_EQ(seen.size(), 2u);
      EXPECT_EQ(seen[1], "before " + dir / "src" + " " + dir / "dst");  // expanded, entering not skipped
    }
    EXPECT_EQ(std::filesystem::exists(dir / "dst"), c.dstWritten);
    EXPECT_EQ(std::filesystem::exists(dir / "other"), c.otherWritten);
  }
}

TEST_F(Copier, OnCanelSetsTheCancelHandler) {
  int called = 0;
  fc.OnCanel = [&](TQorvFileCopier*, bool&) { ++called; };
  ASSERT_TRUE(fc.OnCancel);
  bool cancel = false;
  fc.OnCancel(&fc, cancel);
  EXPECT_EQ(called, 1);
}

// --- failures ----------------------------------------------------------------------------------

TEST_F(Copier, MissingSourceWithoutHookRaisesCannotOpen) {
  try {
    fc.CopyFileTo(dir / "absent.spf", dir / "dst");
    FAIL() << "no error raised";
  } catch (const EQorvError& e) {
    EXPECT_EQ(e.Message(), "Cannot open " + dir / "absent.spf");
  }
  EXPECT_TRUE(ui.asked.empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "dst"));
}

TEST_F(Copier, SourceErrorHookDecides) {
  struct {
    const char* name;
    bool useError2;
    TCopyErrorResponse answer;
    TCopyResult result;  // crNone: an error is expected
  } cases[] = {
      {"Ignore", true, erIgnore, crNone},
      {"Skip", true, erSkip, crSkipped},
      {"Abort", true, erAbort, crAborted},
      {"OlderHook", false, erIgnore, crNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TQorvFileCopier copier;
    std::string hook;
    copier.OnError = [&](TQorvFileCopier* s, const std::string& f, const std::string& d, uint8_t num,
                         std::string& msg) {
      EXPECT_EQ(s, &copier);
      hook = "old " + f + " " + d + " " + std::to_string(num) + " " + msg;
      msg = "rewritten by OnError";
    };
    if (c.useError2)
      copier.OnError2 = [&](TQorvFileCopier*, const std::string& f, const std::string&, uint8_t err,
                            std::string& msg, TCopyErrorResponse& response) {
        EXPECT_EQ(response, erIgnore);
        hook = "new " + f + " " + std::to_string(err) + " " + msg;
        msg = "rewritten by OnError2";
        response = c.answer;
      };
    if (c.result == crNone) {
      try {
        copier.CopyFileTo(dir / "absent", dir / "d");
        ADD_FAILURE() << "no error raised";
      } catch (const EQorvError& e) {
        EXPECT_EQ(e.Message(), c.useError2 ? "rewritten by OnError2" : "rewritten by OnError");
      }
    } else {
      EXPECT_EQ(copier.CopyFileTo(dir / "absent", dir / "d"), c.result);
    }
    const std::string cannot = "Cannot open " + dir / "absent";
    EXPECT_EQ(hook, c.useError2 ? "new " + dir / "absent" + " " +
                                      std::to_string(FileErrorCode(TFileError::Missing)) + " " + cannot
                                : "old " + dir / "absent" + " " + dir / "d" + " 1 " + cannot);
  }
}

// A user who answers Retry after mending the cause.
class TMendingUi : public TScriptedUi {
 public:
  std::function<void()> mend;
  TMsgAnswer AskAbortRetryIgnore(const std::string& text) override {
    TMsgAnswer a = TScriptedUi::AskAbortRetryIgnore(text);
    if (a == TMsgAnswer::Retry && mend) mend();
    return a;
  }
};

TEST_F(Copier, UncreatableDestinationAsksAbortRetryIgnore) {
  WriteFile(dir / "src", "payload");
  WriteFile(dir / "blocker", "a file where a folder should be");
  const std::string dest = dir / "blocker/dst";
  const std::string reason = SysErrorMessage(kNotAFolder);

  ui.ariAnswers = {TMsgAnswer::Abort};
  EXPECT_EQ(fc.CopyFileTo(dir / "src", dest), crAborted);
  ui.ariAnswers = {TMsgAnswer::Ignore};
  EXPECT_EQ(fc.CopyFileTo(dir / "src", dest), crIgnored);
  ASSERT_EQ(ui.asked.size(), 2u);
  EXPECT_EQ(ui.asked[0].kind, "ari");
  EXPECT_EQ(ui.asked[0].text, reason);

  // A hook's answer other than Ignore settles it without a question.
  for (auto [answer, result] : {std::pair{erSkip, crSkipped}, std::pair{erAbort, crAborted}}) {
    fc.OnError2 = [answer = answer](TQorvFileCopier*, const std::string&, const std::string&, uint8_t err,
                                    std::string&, TCopyErrorResponse& r) {
      EXPECT_EQ(err, kNotAFolder);
      r = answer;
    };
    EXPECT_EQ(fc.CopyFileTo(dir / "src", dest), result);
  }
  EXPECT_EQ(ui.asked.size(), 2u);
  fc.OnError2 = nullptr;

  {
    TMendingUi mending;
    mending.ariAnswers = {TMsgAnswer::Retry, TMsgAnswer::Retry};
    int retries = 0;
    mending.mend = [&] {
      if (++retries < 2) return;
      std::filesystem::remove(dir / "blocker");
      std::filesystem::create_directories(dir / "blocker");
    };
    EXPECT_EQ(fc.CopyFileTo(dir / "src", dest), crCopied);
    EXPECT_EQ(mending.asked.size(), 2u);
  }
  EXPECT_EQ(ReadFile(dest), "payload");
}

TEST_F(Copier, NobodyToAnswerMeansAbort) {
  SetUi(nullptr);  // the headless services, as in a scheduled run
  WriteFile(dir / "src", "x");
  WriteFile(dir / "blocker", "");
  EXPECT_EQ(fc.CopyFileTo(dir / "src", dir / "blocker/dst"), crAborted);
  SetUi(&ui);
}

#ifndef _WIN32
// Runs body in a child whose files may grow to limit bytes at most; the exit status tells.
int InChildWithFileLimit(rlim_t limit, const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit rl{limit, limit};
    if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) ::_exit(90);
    int code = 91;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(Copier, FailedWriteRaisesAndLeavesNoPartialCopy) {
  const std::string data = Pattern(200 * 1000);
  WriteFile(dir / "src.spf", data);
  for (bool kernel : {true, false}) {
    for (bool existing : {true, false}) {
      SCOPED_TRACE(std::string(kernel ? "kernel" : "readwrite") + (existing ? " over old" : " new"));
      std::filesystem::remove(dir / "dst.spf");
      if (existing) WriteFile(dir / "dst.spf", "old copy");
      fc.UseKernelCopy = kernel;
      int code = InChildWithFileLimit(64 * 1024, [&] {
        try {
          return fc.CopyFileTo(dir / "src.spf", dir / "dst.spf") == crCopied ? 1 : 2;
        } catch (const EQorvError& e) {
          const std::string m = e.Message();
          const bool names = m.find(dir / "src.spf") != std::string::npos &&
                             m.find(SysErrorMessage(EFBIG)) != std::string::npos;
          return names ? 0 : 3;
        }
      });
      EXPECT_EQ(code, 0) << "1: reported as copied, 2: other result, 3: message without file or reason";
      std::set<std::string> expected{"src.spf"};
      if (existing) expected.insert("dst.spf");
      EXPECT_EQ(Names(dir.Path()), expected);
      if (existing) {
        EXPECT_EQ(ReadFile(dir / "dst.spf"), "old copy");
      }
    }
  }
}

#endif

TEST_F(Copier, HookFailureMidCopyLeavesTheOldDestination) {
  WriteFile(dir / "src", Pattern(5000));
  WriteFile(dir / "dst", "old");
  fc.OnProgress = [](double, int32_t pos, int32_t) {
    if (pos >= 2000) throw EQorvError("stop");
  };
  EXPECT_THROW(fc.CopyFileTo(dir / "src", dir / "dst"), EQorvError);
  EXPECT_EQ(ReadFile(dir / "dst"), "old");
  EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"src", "dst"}));
}

TEST_F(Copier, LeftoverOfACrashIsRemoved) {
  WriteFile(dir / "src", "complete");
  const std::string leftover = TQorvFileCopier::PartialPath(dir / "dst");
  WriteFile(leftover, "half");
  ASSERT_TRUE(SetPathMode(leftover, 0444));
  ASSERT_EQ(fc.CopyFileTo(dir / "src", dir / "dst"), crCopied);
  EXPECT_EQ(ReadFile(dir / "dst"), "complete");
  EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"src", "dst"}));
}

TEST_F(Copier, SourceFolderCannotBeOpened) {
  std::filesystem::create_directories(dir / "folder");
  EXPECT_THROW(fc.CopyFileTo(dir / "folder", dir / "dst"), EQorvError);
  EXPECT_FALSE(std::filesystem::exists(dir / "dst"));
}

#ifndef _WIN32
TEST_F(Copier, OnlyRegularFilesAreOpened) {
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& source : {fifo, std::string("/dev/zero")}) {
    SCOPED_TRACE(source);
    try {
      fc.CopyFileTo(source, dir / "dst");
      ADD_FAILURE() << "copied";
    } catch (const EQorvError& e) {
      EXPECT_EQ(e.Message(), "Cannot open " + source);
    }
    EXPECT_EQ(fc.LastErrorText(), "not a regular file");
    EXPECT_FALSE(std::filesystem::exists(dir / "dst"));
  }
}

#endif

// A disk that gives back other bytes than it took is played by a hook that changes the copy
// behind the copier's back while it is written.
TEST_F(Copier, VerifiedCopiesAreReadBackAndAMismatchFailsTheCopy) {
  // One chunk is hashed from the copy's own reads, three from a second read of the source.
  struct {
    size_t size;
    bool verify, corrupt, copied;
  } cases[] = {{10 * 1000 + 7, true, false, true},
               {10 * 1000 + 7, true, true, false},
               {10 * 1000 + 7, false, true, true},
               {3 * 1024 * 1024 + 7, true, false, true},
               {3 * 1024 * 1024 + 7, true, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.verify ? " verified" : " unverified") +
                 (c.corrupt ? ", corrupted" : ""));
    const std::string data = Pattern(c.size);
    WriteFile(dir / "src", data);
    std::filesystem::remove(dir / "dst");
    fc.VerifyCopies = c.verify;
    fc.OnProgress = [&](double, int32_t pos, int32_t) {
      if (c.corrupt && pos == 5000) {
        std::fstream copy(TQorvFileCopier::PartialPath(dir / "dst"),
                          std::ios::binary | std::ios::in | std::ios::out);
        copy.seekp(1234);
        copy.put('\x5a' ^ data[1234]);
      }
    };
    try {
      EXPECT_EQ(fc.CopyFileTo(dir / "src", dir / "dst"), crCopied);
      EXPECT_TRUE(c.copied);
      EXPECT_EQ(ReadFile(dir / "dst") == data, !c.corrupt);
    } catch (const EQorvError& e) {
      EXPECT_FALSE(c.copied);
      EXPECT_EQ(e.Message(), "Error copying " + dir / "src" + " to " + dir / "dst" +
                                 ": the copy read back from the disk differs from the source");
      EXPECT_EQ(Names(dir.Path()), std::set<std::string>{"src"});
    }
  }
}

// The digests are checked against sha256sum itself: any machine must be able to check a copy.
// Windows has no sha256sum: there the test's contents have the digests it printed for them.
std::string Sha256sumOf(const std::string& path) {
  if (kWindows) {
    const std::string content = ReadFile(path);
    for (const auto& [size, digest] :
         {std::pair<size_t, const char*>{0,
                                         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
          {999, "234c04365b4a0fe6cb5f0a9ebcadd43c0da543714199f52d8dbec584376e37fa"},
          {1000, "76047b0a3c71173eda58b4202927d9575e3cc20cdad0d4766c05dff011e24b07"},
          {2500500, "5f82d9158bcf86cc0565a901c7e935c589cc907b49db2077d5e7f38807391db4"}})
      if (content.size() == size && content == Pattern(size)) return digest;
    return "no digest known for this content";
  }
  std::string out;
#ifndef _WIN32
  if (FILE* p = ::popen(("sha256sum '" + path + "'").c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
#endif
  return out.substr(0, 64);
}

TEST_F(Copier, HashedCopiesReportTheSha256OfTheirBytes) {
  struct {
    size_t size;
    bool hash, verify, kernel;
  } cases[] = {{0, true, false, false},      {1000, true, false, true},     {2500500, true, false, false},
               {2500500, true, false, true}, {2500500, false, true, false}, {2500500, false, false, true},
               {999, false, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.hash ? " hashed" : "") + (c.verify ? " verified" : "") +
                 (c.kernel ? " kernel" : ""));
    WriteFile(dir / "src", Pattern(c.size));
    std::filesystem::remove(dir / "dst");
    fc.HashCopies = c.hash;
    fc.VerifyCopies = c.verify;
    fc.UseKernelCopy = c.kernel;
    std::vector<std::string> seen;
    fc.OnCopied = [&](const std::string& dest, const std::string& sha) { seen.push_back(dest + " " + sha); };
    ASSERT_EQ(fc.CopyFileTo(dir / "src", dir / "dst"), crCopied);
    const std::string expected = c.hash || c.verify ? Sha256sumOf(dir / "src") : "";
    EXPECT_EQ(fc.LastSha256(), expected);
    EXPECT_EQ(seen, std::vector<std::string>{dir / "dst" + " " + expected});
    std::string hex;
    int err = 0;
    EXPECT_TRUE(TQorvFileCopier::FileSha256(dir / "dst", hex, err));
    EXPECT_EQ(hex, Sha256sumOf(dir / "dst"));
  }
}

// --verify's repair: a source that changed since its hash was checked must not replace the copy on
// the disk; the copy that differs is discarded before it takes the name.
TEST_F(Copier, ACopyWhoseHashIsNotTheExpectedOneNeverTakesTheName) {
  WriteFile(dir / "src", "changed since its check");
  WriteFile(dir / "dst", "the disk's copy");
  fc.HashCopies = true;
  std::string expected;
  int err = 0;
  ASSERT_TRUE(TQorvFileCopier::FileSha256(dir / "dst", expected, err));
  fc.ExpectedSha256 = expected;
  EXPECT_THROW(fc.CopyFileTo(dir / "src", dir / "dst"), EQorvError);
  EXPECT_EQ(ReadFile(dir / "dst"), "the disk's copy");
  EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"src", "dst"}));
  // The bytes it expects are copied as ever.
  WriteFile(dir / "src", "the disk's copy");
  std::filesystem::remove(dir / "dst");
  EXPECT_EQ(fc.CopyFileTo(dir / "src", dir / "dst"), crCopied);
  EXPECT_EQ(fc.LastSha256(), expected);
}

// A source of several chunks is hashed by a second read that may lag behind the copy: whatever
// happens to the source while either reads it, the copy fails and no digest stands for it.
TEST_F(Copier, ASourceChangedDuringAHashedCopyOfSeveralChunksFailsIt) {
  struct {
    const char* name;
    std::function<void(const std::string&)> strike;
  } cases[] = {
      {"grows", [](const std::string& p) { std::ofstream(p, std::ios::binary | std::ios::app) << "more"; }},
      {"shrinks", [](const std::string& p) { std::filesystem::resize_file(p, 1000); }},
      {"rewritten in place, times kept",
       [](const std::string& p) { test::RewriteKeepingTimes(p, "rewritten"); }},
  };
  fc.HashCopies = true;
  fc.BytesPerCall = 64 * 1024;
  for (const auto& c : cases) {
    for (const int32_t strikeAt : {1000, 1999000}) {
      SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(strikeAt));
      WriteFile(dir / "src", Pattern(2 * 1000 * 1000));
      std::filesystem::remove(dir / "dst");
      fc.OnProgress = [&](double, int32_t pos, int32_t) {
        if (pos == strikeAt) c.strike(dir / "src");
      };
      try {
        fc.CopyFileTo(dir / "src", dir / "dst");
        ADD_FAILURE() << "copied";
      } catch (const EQorvError& e) {
        EXPECT_EQ(e.Message(), "Error copying " + dir / "src" + " to " + dir / "dst" +
                                   ": the source changed during the copy");
      }
      EXPECT_EQ(fc.LastSha256(), "");
      EXPECT_EQ(Names(dir.Path()), std::set<std::string>{"src"});
    }
  }
}

TEST_F(Copier, FileSha256RefusesWhatItCannotRead) {
  struct TCase {
    std::string path;
    int err;
  };
#ifdef _WIN32
  // A folder is refused at its open.
  const std::vector<TCase> cases = {{dir / "missing", FileErrorCode(TFileError::Missing)}, {dir.Path(), 5}};
#else
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<TCase> cases = {{dir / "missing", ENOENT}, {fifo, EINVAL}, {dir.Path(), EISDIR}};
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string hex = "unchanged";
    int err = 0;
    EXPECT_FALSE(TQorvFileCopier::FileSha256(c.path, hex, err));
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(hex, "unchanged");
  }
}

// --- transfer rate -----------------------------------------------------------------------------

TEST_F(Copier, RateIsSampledOncePerSecondFromBlockCounts) {
  PinClock(FromLocal(2024, 5, 6, 10, 0, 0));
  fc.BlockSize = 2048;
  std::vector<double> rates;
  fc.OnProgress = [&](double rate, int32_t, int32_t) {
    rates.push_back(rate);
    AdvancePinnedClock(std::chrono::milliseconds(500));
  };
  WriteFile(dir / "src", Pattern(4 * 2048 + 10));  // five blocks, the last one short
  ASSERT_EQ(fc.CopyFileTo(dir / "src", dir / "dst"), crCopied);
  // The first block starts the clock; whole blocks are counted, also the short last one.
  EXPECT_EQ(rates, (std::vector<double>{0, 0, 6, 6, 4}));

  // The next copy measures from the last sample of this one.
  rates.clear();
  AdvancePinnedClock(std::chrono::milliseconds(1500));
  WriteFile(dir / "one", "x");
  ASSERT_EQ(fc.CopyFileTo(dir / "one", dir / "one.copy"), crCopied);
  EXPECT_EQ(rates, (std::vector<double>{1.0}));  // one block over two seconds
  UnpinClock();
}

}  // namespace
}  // namespace tavik
