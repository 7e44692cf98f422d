#pragma once
// An unattended run of one volume, set up so a fault can be injected into it: the destination
// holds the previous chain, the source a newer one, and the report goes to a server on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvLogger.h"
#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "run/uRunBackup.h"
#include "tests/support/RunRecorder.h"
#include "tests/support/SmtpServers.h"
#include "tests/support/TestSupport.h"

namespace tavik::test {

class FaultRunTest : public ::testing::Test {
 protected:
  // Larger than a copy block, so a fault can strike with the copy half done.
  static constexpr size_t ImageSize = 256 * 1024;

  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    PinClock(FromLocal(2026, 12, 7, 9, 30, 0));
    logPath = logger.ConfigureLog(true, "TavikShadowCopy", "");
    std::filesystem::create_directories(src);
    std::filesystem::create_directories(dst);
    image = std::string(ImageSize, 'i');
    for (size_t i = 0; i < image.size(); i += 97) image[i] = static_cast<char>('a' + i % 26);
    WriteFile(src + "/C_new.spf", image);
    WriteFile(src + "/C_new_i1.spi", "incremental");
    for (const char* old : {"C_old.spf", "C_old_i1.spi", "C_old.md5"}) WriteOld(dst + "/" + old, "previous");
    WriteFile(jobPath, "[Main]\r\nSource=" + src + "\r\nDestination=" + dst + "\r\nVolume=C\r\n");
  }
  void TearDown() override {
    UnpinClock();
    SetNotifierSmtpTimeout(30000);
  }

  // A file of the previous chain: a day older than the new one.
  static void WriteOld(const std::string& path, const std::string& content) {
    WriteFile(path, content);
    SetMTime(path, static_cast<long long>(::time(nullptr)) - 86400);
  }

  // The settings the dialog would leave: no identity check, errors and completions to one admin.
  static void SaveMailSettings(int port) {
    TNotifier n;
    LoadSettings(n);
    n.IDDisk = false;
    n.SMTPServer = "127.0.0.1";
    n.SMTPPort = port;
    n.SMTPFrom = "backup@example.org";
    n.SiteID = "S01";
    n.SiteDescription = "Office";
    n.ErrorEmails = "admin@example.org";
    n.BackupCompleteEmails = "admin@example.org";
    n.DiskChangeEmails = "";
    n.LogEmails = "";
    SaveSettings(n);
  }

  // What a run in a child process showed and did.
  struct TRunResult {
    bool endedByItself = false;
    bool hadErrors = false;
    int closeRequests = 0;
    int questions = 0;  // Abort/Retry/Ignore boxes; the unattended program answers Abort at once
    std::vector<std::string> lines;
    std::string errors;  // standard error
    std::vector<std::string> ErrorLines() const {
      std::vector<std::string> r;
      for (const std::string& l : lines)
        if (l.rfind("Error: ", 0) == 0) r.push_back(l);
      return r;
    }
  };

  // A run under "-h", as the scheduler starts it, in a child process: a run that does not end
  // by itself within a minute is killed and reported, never waited for. hook arms the copier;
  // fileSizeLimit makes every file the child writes stop growing there, as a full disk does.
  TRunResult RunUnattended(const std::function<void(TQorvFileCopier&)>& hook = {},
                           rlim_t fileSizeLimit = RLIM_INFINITY) {
    return Finish(StartUnattended(hook, fileSizeLimit));
  }

  // The same run, started and left running; Finish waits for it.
  struct TStarted {
    pid_t pid = -1;
    std::string report;
    std::string errors;  // what the run wrote to standard error
  };
  TStarted StartUnattended(const std::function<void(TQorvFileCopier&)>& hook = {},
                           rlim_t fileSizeLimit = RLIM_INFINITY) {
    const std::string n = std::to_string(++runs_);
    TStarted started{-1, dir / ("run-report-" + n + ".txt"), dir / ("run-stderr-" + n + ".txt")};
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::freopen(started.errors.c_str(), "w", stderr);
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit rl{fileSizeLimit, RLIM_INFINITY};
      ::setrlimit(RLIMIT_FSIZE, &rl);
      TBackupRunner runner(logger, view, ParseSwitches({"-h"}));
      runner.SetJobSettingsPath(jobPath);
      if (hook) hook(runner.FC());
      runner.RunBackup();
      int questions = 0;
      for (const auto& a : ui.asked) questions += a.kind == "ari";
      const rlimit none{RLIM_INFINITY, RLIM_INFINITY};
      ::setrlimit(RLIMIT_FSIZE, &none);
      std::ofstream out(started.report, std::ios::binary);
      out << runner.LastRunHadErrors() << ' ' << view.closeRequests << ' ' << questions << '\n';
      for (const std::string& l : view.memo) out << l << '\n';
      out.close();
      std::fflush(stderr);
      ::_exit(out ? 0 : 1);
    }
    if (pid < 0) ADD_FAILURE() << "fork failed";
    started.pid = pid;
    return started;
  }

  TRunResult Finish(const TStarted& started) {
    TRunResult r;
    if (started.pid < 0) return r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (::waitpid(started.pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(started.pid, SIGKILL);
        ::waitpid(started.pid, &status, 0);
        ADD_FAILURE() << "the run did not end by itself";
        return r;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    r.endedByItself = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::ifstream in(started.report, std::ios::binary);
    in >> r.hadErrors >> r.closeRequests >> r.questions;
    in.ignore(1);
    for (std::string l; std::getline(in, l);) r.lines.push_back(l);
    if (std::filesystem::exists(started.errors)) r.errors = ReadFile(started.errors);
    return r;
  }

  std::set<std::string> DestinationNames() const { return ImageNames(dst); }

  // Subject and HTML body of every mail the server got, in order.
  static std::vector<std::pair<std::string, std::string>> Mails(const TAioSmtpServer& server) {
    std::vector<std::pair<std::string, std::string>> r;
    for (const TReceivedMail& m : server.Messages()) {
      const TParsedMail parsed = ParseMailWithPython(m.raw);
      std::string body;
      for (const auto& part : parsed.parts)
        if (part.contentType == "text/html") body = part.payload;
      r.emplace_back(parsed.Header("Subject"), body);
    }
    return r;
  }

  TSealedEnv env;
  TScriptedUi ui;
  TQorvLogger logger;
  std::string logPath;
  TRunRecorder view;
  TTempDir dir;
  std::string src = dir / "src";
  std::string dst = dir / "dst";
  std::string jobPath = dir / "job.ini";
  std::string image;

 private:
  int runs_ = 0;
};

// The same run with its report going to a real server on loopback.
class MailedFaultRunTest : public FaultRunTest {
 protected:
  void SetUp() override {
    FaultRunTest::SetUp();
    server.Start();
    SaveMailSettings(server.Port());
  }

  // The error report reached the administrator and names the fault.
  void ExpectErrorMail(const std::string& fault) {
    const auto mails = Mails(server);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].first, "[S01:Office] Backup Errors");
    EXPECT_THAT(mails[0].second, ::testing::HasSubstr(fault));
  }

  TAioSmtpServer server;
};

}  // namespace tavik::test
