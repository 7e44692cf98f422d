#include "platform/uFiles.h"

#include <windows.h>

#include <string>

#include "platform/uErrors.h"
#include "platform/uOs.h"
#include "platform/win/uWin.h"

namespace tavik {

namespace {
thread_local int gLastError = 0;

bool Failed() {
  gLastError = static_cast<int>(GetLastError());
  return false;
}

HANDLE H(std::intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

DWORD ShareBits(unsigned share) {
  return ((share & ShareRead) ? FILE_SHARE_READ : 0) | ((share & ShareWrite) ? FILE_SHARE_WRITE : 0) |
         ((share & ShareDelete) ? FILE_SHARE_DELETE : 0);
}
}  // namespace

TFile TFile::OpenRead(const std::string& path, unsigned share) {
  TFile f;
  const HANDLE h = CreateFileW(win::FilePathW(path).c_str(), GENERIC_READ, ShareBits(share), nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) f.error_ = gLastError = static_cast<int>(GetLastError());
  f.handle_ = reinterpret_cast<std::intptr_t>(h);
  return f;
}

TFile TFile::CreateAlways(const std::string& path, unsigned share) {
  TFile f;
  const HANDLE h = CreateFileW(win::FilePathW(path).c_str(), GENERIC_READ | GENERIC_WRITE, ShareBits(share),
                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) f.error_ = gLastError = static_cast<int>(GetLastError());
  f.handle_ = reinterpret_cast<std::intptr_t>(h);
  return f;
}

long long TFile::Read(void* buffer, size_t count) {
  DWORD got = 0;
  const DWORD want = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
  if (ReadFile(H(handle_), buffer, want, &got, nullptr)) return got;
  error_ = gLastError = static_cast<int>(GetLastError());
  return -1;
}

bool TFile::WriteAll(const void* data, size_t count) {
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    DWORD done = 0;
    const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    if (!WriteFile(H(handle_), p, chunk, &done, nullptr) || done == 0) {
      error_ = gLastError = static_cast<int>(GetLastError());
      return false;
    }
    p += done;
    count -= done;
  }
  return true;
}

bool TFile::Flush() {
  if (FlushFileBuffers(H(handle_))) return true;
  error_ = gLastError = static_cast<int>(GetLastError());
  return false;
}

bool TFile::Close() {
  if (handle_ == -1) return true;
  const BOOL ok = CloseHandle(H(handle_));
  handle_ = -1;
  if (ok) return true;
  error_ = gLastError = static_cast<int>(GetLastError());
  return false;
}

bool os::MissingFileError(int code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

int LastFileError() {
  return gLastError;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  return MoveFileExW(win::FilePathW(from).c_str(), win::FilePathW(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ||
         Failed();
}

bool RemoveFile(const std::string& path) {
  return DeleteFileW(win::FilePathW(path).c_str()) || Failed();
}

bool ReplaceFileContent(const std::string& path, const std::string& content) {
  // The new version takes the rights its folder hands down, as a file saved by an editor does;
  // its temporary name is one nobody else can hold (CREATE_NEW fails on a taken name).
  const std::string tmp = path + ".tmp-" + std::to_string(GetCurrentProcessId());
  const HANDLE h = CreateFileW(win::FilePathW(tmp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed();
  bool ok = true;
  {
    const char* p = content.data();
    size_t left = content.size();
    while (ok && left > 0) {
      DWORD done = 0;
      ok = WriteFile(h, p, static_cast<DWORD>(left > 0x40000000 ? 0x40000000 : left), &done, nullptr) && done;
      p += done;
      left -= done;
    }
  }
  ok = ok && FlushFileBuffers(h);
  if (!ok) Failed();
  CloseHandle(h);
  if (ok) ok = RenameReplacing(tmp, path);
  if (!ok) DeleteFileW(win::FilePathW(tmp).c_str());
  return ok;
}

// Windows has no links an unprivileged account can plant, and CREATE_NEW never opens a taken
// name: the plain read and replace are the safe ones here.
bool ReadFileToReplace(const std::string& path, size_t limit, std::string& content, bool& exists,
                       std::string& why) {
  bool missing = false;
  exists = true;
  if (ReadWholeFile(path, content, &missing)) {
    if (content.size() > limit + 1) content.resize(limit + 1);
    return true;
  }
  exists = !missing;
  if (missing) return true;
  why = SysErrorMessage(LastFileError());
  return false;
}

bool ReplaceFileSafely(const std::string& path, const std::string& content, std::string& why) {
  if (ReplaceFileContent(path, content)) return true;
  why = SysErrorMessage(LastFileError());
  return false;
}

}  // namespace tavik
