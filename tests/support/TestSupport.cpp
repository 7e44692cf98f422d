#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavik::test {

TTempDir::TTempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tavik-test-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TTempDir::~TTempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; give the owner write access back first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

TSealedEnv::TSealedEnv() {
  const std::pair<const char*, std::string> vars[] = {
      {"HOME", Home()}, {"XDG_DATA_HOME", UserData()}, {"PROGRAMDATA", ProgramData()}};
  for (const auto& [name, value] : vars) {
    std::filesystem::create_directories(value);
    if (const char* old = std::getenv(name))
      saved_.emplace_back(name, old);
    else
      unset_.emplace_back(name);
    ::setenv(name, value.c_str(), 1);
  }
}

TSealedEnv::~TSealedEnv() {
  for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
  for (const auto& name : unset_) ::unsetenv(name.c_str());
}

void WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void RewriteKeepingTimes(const std::string& path, const std::string& text) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
  std::fstream(path, std::ios::binary | std::ios::in | std::ios::out) << text;
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::runtime_error("cannot set the times of " + path);
}

void SetMTime(const std::string& path, long long epochSeconds) {
  utimbuf t{static_cast<time_t>(epochSeconds), static_cast<time_t>(epochSeconds)};
  if (::utime(path.c_str(), &t) != 0) throw std::runtime_error("utime failed for " + path);
}

bool Sha256sumCheck(const std::string& folder, std::string* output) {
  std::string quoted = "'";
  for (char c : folder) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  FILE* p = ::popen(("cd " + quoted + " && sha256sum -c SHA256SUMS 2>&1").c_str(), "r");
  if (!p) return false;
  std::string text;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) text += buf;
  const int status = ::pclose(p);
  if (output) *output = text;
  return status == 0;
}

std::set<std::string> ImageNames(const std::string& folder) {
  std::set<std::string> r;
  for (const auto& e : std::filesystem::directory_iterator(folder)) r.insert(e.path().filename().string());
  if (r.erase("SHA256SUMS") > 0) {
    std::string output;
    EXPECT_TRUE(Sha256sumCheck(folder, &output)) << folder << ":\n" << output;
  }
  return r;
}

TSmallDisk::TSmallDisk(const std::string& at, const std::string& size) : at_(at) {
  mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

TSmallDisk::~TSmallDisk() {
  if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
}

void DieWhenAFileReaches(unsigned long long bytes) {
  const rlimit noCore{0, 0}, size{bytes, RLIM_INFINITY};
  ::setrlimit(RLIMIT_CORE, &noCore);
  ::signal(SIGXFSZ, SIG_DFL);
  ::setrlimit(RLIMIT_FSIZE, &size);
}

TScopedTz::TScopedTz(const char* tz) {
  if (const char* old = std::getenv("TZ")) {
    saved_ = old;
    had_ = true;
  }
  ::setenv("TZ", tz, 1);
  ::tzset();
}

TScopedTz::~TScopedTz() {
  if (had_)
    ::setenv("TZ", saved_.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

TScriptedUi::TScriptedUi() : previous_(SetUi(this)) {}
TScriptedUi::~TScriptedUi() {
  SetUi(previous_);
}

TMsgAnswer TScriptedUi::AskAbortRetryIgnore(const std::string& text) {
  asked.push_back({"ari", text});
  if (ariAnswers.empty()) return TMsgAnswer::Abort;
  TMsgAnswer a = ariAnswers.front();
  ariAnswers.pop_front();
  return a;
}

bool TScriptedUi::InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
  asked.push_back({"input", caption + "|" + prompt + "|" + value});
  if (inputAnswers.empty()) return false;
  auto [ok, text] = inputAnswers.front();
  inputAnswers.pop_front();
  if (ok) value = text;
  return ok;
}

}  // namespace tavik::test
