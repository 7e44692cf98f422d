// The desktop's link handler as the logo's click meets it: started, never waited for.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/uSystem.h"
#include "tests/support/TestSupport.h"

namespace tavik {
namespace {

// Points PATH at one folder for the test's life.
class TScopedPath {
 public:
  explicit TScopedPath(const std::string& folder) {
    if (const char* old = std::getenv("PATH")) saved_ = old;
    test::SetEnv("PATH", folder);
  }
  ~TScopedPath() { test::SetEnv("PATH", saved_); }

 private:
  std::string saved_;
};

// Windows hands the address to the shell, which no script on PATH can stand in for.
constexpr const char* kShellHandles = "the shell, not a program on PATH, opens addresses on Windows";

TEST(DefaultHandler, ReturnsWhileTheHandlerIsStillRunning) {
  if (PathDelim == '\\') GTEST_SKIP() << kShellHandles;
  test::TTempDir dir;
  const std::string opened = dir / "opened";
  // A handler that stays, as one does while the browser it started is open. Its sleep is named by
  // its full path: the PATH below holds only the handler, and a sleep not found there would end the
  // handler at once, so that even a caller that waited for it would seem to return at once.
  const std::string sleep = std::filesystem::exists("/usr/bin/sleep") ? "/usr/bin/sleep" : "/bin/sleep";
  test::WriteFile(dir / "xdg-open", "#!/bin/sh\necho \"$1\" > '" + opened + "'\nexec " + sleep + " 3\n");
  std::filesystem::permissions(dir / "xdg-open", std::filesystem::perms::owner_all);
  TScopedPath path(dir.Path());

  const auto start = std::chrono::steady_clock::now();
  const bool started = OpenWithDefaultHandler("https://www.example.com/tavik");
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_TRUE(started);
  EXPECT_LT(took, std::chrono::seconds(1));
  auto written = [&] { return std::filesystem::exists(opened) && std::filesystem::file_size(opened) > 0; };
  for (int i = 0; i < 250 && !written(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(test::ReadFile(opened), "https://www.example.com/tavik\n");
}

TEST(DefaultHandler, NoHandlerIsAFalseResult) {
  if (PathDelim == '\\') GTEST_SKIP() << kShellHandles;
  test::TTempDir dir;
  TScopedPath path(dir.Path());
  EXPECT_FALSE(OpenWithDefaultHandler("https://www.example.com/tavik"));
}

}  // namespace
}  // namespace tavik
