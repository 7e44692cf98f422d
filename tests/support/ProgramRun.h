#pragma once
// Runs a built program as a scheduler or a service manager would, with a changed environment,
// and waits for it to end by itself; one that does not within the time-out is killed and fails
// the test.
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavik::test {

struct TProgramLaunch {
  std::string program;
  std::vector<std::string> args;
  std::string workDir;
  // Standard output goes to <outPrefix>.out, standard error to <outPrefix>.err.
  std::string outPrefix;
  // Changes to this process's environment, in order; no value unsets the variable.
  std::vector<std::pair<std::string, std::optional<std::string>>> env;
  // JOURNAL_STREAM names the standard error file, as the service manager sets it for a service.
  bool journalStderr = false;
  // Given: standard input is a pipe that holds this text (up to a pipe's buffer) and then ends.
  std::optional<std::string> stdinText;
  int timeoutSeconds = 60;
};

struct TProgramRun {
  int status = -1;  // the exit status; -1 when it did not exit by itself
  std::string out;
  std::string err;
  std::string output;  // both, for failure messages
  double seconds = 0;
};

TProgramRun RunProgram(const TProgramLaunch& launch);

// The message of every line of a run log, in order: what follows the stamp and the kind.
std::vector<std::string> LogMessages(const std::string& log);

}  // namespace tavik::test
