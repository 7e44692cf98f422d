// What the tests' helpers ask of Windows.
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/TestSupport.h"

namespace tavik::test {

namespace {
std::wstring W(const std::string& s) {
  return std::filesystem::path(s).wstring();
}

// Seconds since 1970 as the file times Windows keeps (100 ns since 1601).
FILETIME FileTimeOf(long long epochSeconds) {
  const unsigned long long t = (static_cast<unsigned long long>(epochSeconds) + 11644473600ULL) * 10000000ULL;
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}
}  // namespace

TTempDir::TTempDir() {
  const auto base = std::filesystem::temp_directory_path();
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const auto candidate =
        base / ("tavik-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(GetTickCount64() % 1000000) + "-" + std::to_string(attempt));
    if (CreateDirectoryW(candidate.wstring().c_str(), nullptr)) {
      path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

void SetEnv(const std::string& name, const std::string& value) {
  _putenv_s(name.c_str(), value.c_str());
}

void UnsetEnv(const std::string& name) {
  _putenv_s(name.c_str(), "");
}

void RewriteKeepingTimes(const std::string& path, const std::string& text) {
  const HANDLE h = CreateFileW(W(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  FILETIME created, accessed, written;
  DWORD done = 0;
  const bool ok = GetFileTime(h, &created, &accessed, &written) &&
                  ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) &&
                  SetFileTime(h, nullptr, &accessed, &written);
  CloseHandle(h);
  if (!ok) throw std::runtime_error("cannot rewrite " + path + " keeping its times");
}

void SetMTime(const std::string& path, long long epochSeconds) {
  const HANDLE h = CreateFileW(W(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  const FILETIME t = FileTimeOf(epochSeconds);
  const bool ok = SetFileTime(h, nullptr, &t, &t);
  CloseHandle(h);
  if (!ok) throw std::runtime_error("cannot set the time of " + path);
}

// The checksum tool is the Linux side's: the Windows tests that write SHA256SUMS leave the check
// to the script that runs them.
bool Sha256sumCheck(const std::string&, std::string* output) {
  if (output) *output = "sha256sum is not run from the Windows tests";
  return false;
}

TScopedTz::TScopedTz(const char* tz) {
  if (const char* old = std::getenv("TZ")) {
    saved_ = old;
    had_ = true;
  }
  _putenv_s("TZ", tz);
  _tzset();
}

TScopedTz::~TScopedTz() {
  _putenv_s("TZ", had_ ? saved_.c_str() : "");
  _tzset();
}

}  // namespace tavik::test
