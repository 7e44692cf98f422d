#include "tests/support/ProgramRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace tavik::test {

namespace {
bool Named(const std::string& entry, const std::string& name) {
  return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=';
}

void Change(std::vector<std::string>& env, const std::string& name, const std::optional<std::string>& value) {
  std::erase_if(env, [&](const std::string& e) { return Named(e, name); });
  if (value) env.push_back(name + "=" + *value);
}
}  // namespace

TProgramRun RunProgram(const TProgramLaunch& launch) {
  const std::string outPath = launch.outPrefix + ".out", errPath = launch.outPrefix + ".err";
  // Made before the start, so the journal's device and inode can be named.
  WriteFile(outPath, "");
  WriteFile(errPath, "");
  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) envText.emplace_back(*e);
  for (const auto& [name, value] : launch.env) Change(envText, name, value);
  if (launch.journalStderr) {
    struct stat st {};
    if (::stat(errPath.c_str(), &st) != 0) ADD_FAILURE() << "cannot stat " << errPath;
    Change(envText, "JOURNAL_STREAM", std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
  }
  std::vector<char*> envp;
  for (std::string& s : envText) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argText = {launch.program};
  argText.insert(argText.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv;
  for (std::string& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);

  int input[2] = {-1, -1};
  if (launch.stdinText) {
    if (::pipe2(input, O_CLOEXEC) != 0 ||
        ::write(input[1], launch.stdinText->data(), launch.stdinText->size()) !=
            static_cast<ssize_t>(launch.stdinText->size()))
      ADD_FAILURE() << "cannot fill the standard input pipe";
    ::close(input[1]);
  }
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec: the test may have threads.
    const int out = ::open(outPath.c_str(), O_WRONLY | O_TRUNC);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_TRUNC);
    if (out < 0 || err < 0 || ::chdir(launch.workDir.c_str()) != 0) ::_exit(127);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (input[0] >= 0) ::dup2(input[0], STDIN_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  if (input[0] >= 0) ::close(input[0]);
  TProgramRun run;
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return run;
  }
  const auto deadline = started + std::chrono::seconds(launch.timeoutSeconds);
  int status = 0;
  pid_t done = 0;
  while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::string what = launch.program;
  for (const std::string& a : launch.args) what += " " + a;
  if (done == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << what << " did not exit within " << launch.timeoutSeconds << " s";
  } else if (WIFEXITED(status)) {
    run.status = WEXITSTATUS(status);
  } else {
    ADD_FAILURE() << what << " ended by signal " << WTERMSIG(status);
  }
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  run.output = run.out + run.err;
  return run;
}

std::vector<std::string> LogMessages(const std::string& log) {
  std::vector<std::string> messages;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find("\r\n", at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    const size_t tab = line.find('\t');
    const size_t tab2 = tab == std::string::npos ? tab : line.find('\t', tab + 1);
    messages.push_back(tab2 == std::string::npos ? "<malformed> " + line : line.substr(tab2 + 1));
    at = end + 2;
  }
  return messages;
}

}  // namespace tavik::test
