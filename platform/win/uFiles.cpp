#include "platform/uFiles.h"

#include <windows.h>
// windows.h first: bcrypt.h and io.h take their types from it.
#include <bcrypt.h>
#include <io.h>

#include <cerrno>
#include <string>

#include "platform/uErrors.h"
#include "platform/uOs.h"
#include "platform/uSystem.h"
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

// File times are 100 ns steps since 1601.
constexpr int64_t EpochSteps = 116444736000000000LL;

TFileTime TimeOf(LARGE_INTEGER t) {
  const int64_t steps = t.QuadPart - EpochSteps;
  int64_t sec = steps / 10000000, rest = steps % 10000000;
  if (rest < 0) {
    --sec;
    rest += 10000000;
  }
  return {sec, static_cast<int32_t>(rest * 100)};
}

TFileTime TimeOf(FILETIME t) {
  LARGE_INTEGER l;
  l.LowPart = t.dwLowDateTime;
  l.HighPart = static_cast<LONG>(t.dwHighDateTime);
  return TimeOf(l);
}

TFileKind KindOf(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return TFileKind::Link;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return TFileKind::Folder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return TFileKind::Other;
  return TFileKind::Regular;
}

unsigned ModeOf(DWORD attributes) {
  const unsigned mode = (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? mode | 0111 : mode;
}

bool InfoOfHandle(HANDLE h, TFileInfo& info) {
  BY_HANDLE_FILE_INFORMATION bh{};
  if (!GetFileInformationByHandle(h, &bh)) return Failed();
  info = {};
  info.kind = KindOf(bh.dwFileAttributes);
  // What is no file on a disk (a pipe, a console) is nothing the copier or the log may use.
  if (info.kind == TFileKind::Regular && GetFileType(h) != FILE_TYPE_DISK) info.kind = TFileKind::Other;
  info.size = (static_cast<int64_t>(bh.nFileSizeHigh) << 32) | bh.nFileSizeLow;
  info.modified = TimeOf(bh.ftLastWriteTime);
  // The change time moves with every write and every change of the file's description, as
  // POSIX's does; where the file system keeps none, the last write stands in for it.
  FILE_BASIC_INFO basic{};
  info.changed =
      GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) && basic.ChangeTime.QuadPart
          ? TimeOf(basic.ChangeTime)
          : info.modified;
  info.mode = ModeOf(bh.dwFileAttributes);
  info.links = bh.nNumberOfLinks;
  info.device = bh.dwVolumeSerialNumber;
  info.inode = (static_cast<uint64_t>(bh.nFileIndexHigh) << 32) | bh.nFileIndexLow;
  return true;
}

TFile Opened(HANDLE h) {
  return TFile::Adopt(reinterpret_cast<std::intptr_t>(h),
                      h == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0);
}

HANDLE Open(const std::string& path, DWORD access, unsigned share, DWORD disposition, DWORD flags) {
  return CreateFileW(win::FilePathW(path).c_str(), access, ShareBits(share), nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

bool RandomLetters(std::string& out, size_t count) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char random[32];
  if (count > sizeof random ||
      BCryptGenRandom(nullptr, random, static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0)
    return false;
  for (size_t i = 0; i < count; ++i) out += letters[random[i] % (sizeof letters - 1)];
  return true;
}
}  // namespace

TFile TFile::Adopt(std::intptr_t handle, int error) {
  TFile f;
  f.handle_ = handle;
  f.error_ = error;
  if (error) gLastError = error;
  return f;
}

bool PathInfo(const std::string& path, TFileInfo& info, bool follow) {
  // Looking needs no access to the data, so no share mode of another's handle stands in the way.
  const HANDLE h = Open(path, FILE_READ_ATTRIBUTES, ShareRead | ShareWrite | ShareDelete, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT));
  if (h == INVALID_HANDLE_VALUE) {
    info = {};
    return Failed();
  }
  const bool ok = InfoOfHandle(h, info);
  CloseHandle(h);
  return ok;
}

TFile TFile::OpenRead(const std::string& path, unsigned share, unsigned flags) {
  return Opened(
      Open(path, GENERIC_READ, share, OPEN_EXISTING,
           FILE_FLAG_SEQUENTIAL_SCAN | ((flags & OpenNoFollow) ? FILE_FLAG_OPEN_REPARSE_POINT : 0)));
}

TFile TFile::CreateAlways(const std::string& path, unsigned share) {
  return Opened(Open(path, GENERIC_READ | GENERIC_WRITE, share, CREATE_ALWAYS, 0));
}

// Windows has no permission bits to give a new file: it takes the rights its folder hands down.
TFile TFile::CreateNew(const std::string& path, unsigned share, unsigned) {
  return Opened(Open(path, GENERIC_READ | GENERIC_WRITE, share, CREATE_NEW, 0));
}

TFile TFile::CreateUnique(const std::string& base, unsigned mode, std::string& created) {
  // A name taken already, by chance or planted, is passed over: only a new file will do.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = base + ".tmp-";
    if (!RandomLetters(name, 12)) return Adopt(-1, ERROR_GEN_FAILURE);
    TFile f = CreateNew(name, ShareRead, mode);
    if (f.IsOpen() || f.Error() != ERROR_FILE_EXISTS) {
      if (f.IsOpen()) created = name;
      return f;
    }
  }
  return Adopt(-1, ERROR_FILE_EXISTS);
}

TFile TFile::OpenAppend(const std::string& path, unsigned share, bool create, unsigned) {
  // Append access alone puts every write at the end, whoever else writes.
  return Opened(Open(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share,
                     create ? CREATE_NEW : OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT));
}

long long TFile::Read(void* buffer, size_t count) {
  DWORD got = 0;
  const DWORD want = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
  if (ReadFile(H(handle_), buffer, want, &got, nullptr)) return got;
  error_ = gLastError = static_cast<int>(GetLastError());
  return -1;
}

long long TFile::ReadAt(void* buffer, size_t count, int64_t offset) {
  // The offset is the read's own: the file's position is nobody's concern here, so two threads
  // may each read where they want.
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const DWORD want = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
  if (ReadFile(H(handle_), buffer, want, &got, &at)) return got;
  if (GetLastError() == ERROR_HANDLE_EOF) return 0;
  error_ = gLastError = static_cast<int>(GetLastError());
  return -1;
}

bool TFile::Info(TFileInfo& info) {
  if (InfoOfHandle(H(handle_), info)) return true;
  error_ = gLastError;
  return false;
}

// Windows offers no in-kernel copy between two open files: the bytes pass through buffer.
long long TFile::CopyTo(TFile& out, char* buffer, size_t count, int64_t offset, bool& kernel) {
  kernel = false;
  return CopyThrough(out, buffer, count, offset, 0);
}

long long TFile::ReadForCopy(void* buffer, size_t count, int64_t offset) {
  return ReadAt(buffer, count, offset);
}

void TFile::StartWriteBack(int64_t, int64_t) {}

bool TFile::SetModified(TFileTime when) {
  const int64_t steps = when.sec * 10000000 + when.nsec / 100 + EpochSteps;
  FILETIME t{static_cast<DWORD>(steps), static_cast<DWORD>(static_cast<uint64_t>(steps) >> 32)};
  if (SetFileTime(H(handle_), nullptr, nullptr, &t)) return true;
  error_ = gLastError = static_cast<int>(GetLastError());
  return false;
}

bool TFile::SetMode(unsigned mode) {
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(H(handle_), FileBasicInfo, &basic, sizeof basic)) {
    error_ = gLastError = static_cast<int>(GetLastError());
    return false;
  }
  const DWORD was = basic.FileAttributes;
  basic.FileAttributes = (mode & 0200) ? was & ~FILE_ATTRIBUTE_READONLY : was | FILE_ATTRIBUTE_READONLY;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (basic.FileAttributes == was) return true;
  basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = basic.LastWriteTime.QuadPart =
      basic.ChangeTime.QuadPart = 0;  // 0: left as they are
  if (SetFileInformationByHandle(H(handle_), FileBasicInfo, &basic, sizeof basic)) return true;
  error_ = gLastError = static_cast<int>(GetLastError());
  return false;
}

// The uncached handle below reads from the disk: nothing to drop first.
void TFile::DropCache() {}

TFile TFile::OpenUncached() const {
  return Opened(ReOpenFile(H(handle_), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           FILE_FLAG_NO_BUFFERING));
}

bool TFile::UncachedReadRefused(int code) {
  return code == ERROR_INVALID_PARAMETER;
}

bool TFile::PinAt(const std::string& path) {
  // No name can lead to an open handle here: the second name is a copy of what it holds now.
  TFile copy = CreateNew(path, ShareRead, 0600);
  if (!copy.IsOpen()) return false;
  char buf[65536];
  for (int64_t at = 0;;) {
    const long long n = ReadAt(buf, sizeof buf, at);
    if (n < 0) return false;
    if (n == 0) break;
    if (!copy.WriteAll(buf, static_cast<size_t>(n))) return false;
    at += n;
  }
  return copy.Close();
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

// In TFileError's order.
const int os::FileErrorCodes[5] = {ERROR_FILE_NOT_FOUND, ERROR_DIRECTORY, ERROR_INVALID_PARAMETER,
                                   ERROR_IO_DEVICE, ERROR_NOT_ENOUGH_MEMORY};

namespace {
// A read-only file is replaced and removed as on POSIX, where only its folder's rights decide:
// true when it was read-only and no longer is.
bool ClearedReadOnly(const std::wstring& path) {
  const DWORD was = GetFileAttributesW(path.c_str());
  return was != INVALID_FILE_ATTRIBUTES && (was & FILE_ATTRIBUTE_READONLY) &&
         SetFileAttributesW(path.c_str(), was & ~FILE_ATTRIBUTE_READONLY);
}

// Runs act, and once more after the read-only mark of path is taken off when that refused it.
template <typename TAct>
bool EvenReadOnly(const std::wstring& path, TAct&& act) {
  if (act()) return true;
  const DWORD err = GetLastError();
  if (err == ERROR_ACCESS_DENIED && ClearedReadOnly(path) && act()) return true;
  gLastError = static_cast<int>(err);
  return false;
}
}  // namespace

bool RenameOver(const std::string& from, const std::string& to) {
  const std::wstring f = win::FilePathW(from), t = win::FilePathW(to);
  return EvenReadOnly(t, [&] {
    return MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  });
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  return RenameOver(from, to);
}

// Every rename here is written through already.
void FlushFolder(const std::string&) {}

bool RemoveFile(const std::string& path) {
  const std::wstring w = win::FilePathW(path);
  return EvenReadOnly(w, [&] { return DeleteFileW(w.c_str()) != 0; });
}

// A folder takes the rights its parent hands down.
bool MakeFolder(const std::string& path, int) {
  return CreateDirectoryW(win::FilePathW(path).c_str(), nullptr) || Failed();
}

bool RemoveFolder(const std::string& path) {
  return RemoveDirectoryW(win::FilePathW(path).c_str()) || Failed();
}

// The temporary folder is the account's own (below its profile): what is made in it is too.
bool MakePrivateTempFolder(const std::string& prefix, std::string& created) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = TempFolderPath() + prefix;
    if (!RandomLetters(name, 6)) return false;
    if (MakeFolder(name, 0700)) {
      created = name;
      return true;
    }
    if (gLastError != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool SetPathMode(const std::string& path, unsigned mode) {
  const std::wstring w = win::FilePathW(path);
  const DWORD was = GetFileAttributesW(w.c_str());
  if (was == INVALID_FILE_ATTRIBUTES) return Failed();
  const DWORD now = (mode & 0200) ? was & ~FILE_ATTRIBUTE_READONLY : was | FILE_ATTRIBUTE_READONLY;
  return now == was || SetFileAttributesW(w.c_str(), now) || Failed();
}

bool WriteToDescriptor(int fd, const char* data, size_t size, int& err) {
  while (size > 0) {
    const unsigned chunk = size > 0x40000000 ? 0x40000000 : static_cast<unsigned>(size);
    const int n = _write(fd, data, chunk);
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool FreeSpace(const std::string& folder, int64_t& freeBytes, int64_t& totalBytes) {
  ULARGE_INTEGER avail{}, total{};
  if (folder.empty()) {
    gLastError = ERROR_PATH_NOT_FOUND;
    return false;
  }
  if (!GetDiskFreeSpaceExW(win::FilePathW(folder).c_str(), &avail, &total, nullptr)) return Failed();
  freeBytes = static_cast<int64_t>(avail.QuadPart);
  totalBytes = static_cast<int64_t>(total.QuadPart);
  return true;
}

// The listing tells each name's kind, size and time by itself: no look-up per name.
bool ListFolder(const std::string& folder, const std::function<bool(const std::string&)>& wanted, bool,
                std::vector<TListedName>& out, int& err) {
  std::string pattern = folder.empty() ? "." : folder;
  if (pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  WIN32_FIND_DATAW found{};
  const HANDLE h = FindFirstFileExW(win::FilePathW(pattern + "*").c_str(), FindExInfoBasic, &found,
                                    FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (h == INVALID_HANDLE_VALUE) {
    err = gLastError = static_cast<int>(GetLastError());
    // An empty folder has nothing, not even "." at a drive's root.
    if (err == ERROR_FILE_NOT_FOUND) return true;
    return false;
  }
  do {
    std::string name = win::Narrow(found.cFileName);
    if (name == "." || name == ".." || !wanted(name)) continue;
    TListedName n;
    n.name = std::move(name);
    // A link is taken for what the listing says it leads to: a folder's link as a folder.
    n.info.kind = KindOf(found.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT);
    n.info.size = (static_cast<int64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    n.info.modified = n.info.changed = TimeOf(found.ftLastWriteTime);
    n.info.mode = ModeOf(found.dwFileAttributes);
    out.push_back(std::move(n));
  } while (FindNextFileW(h, &found));
  FindClose(h);
  return true;
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

// The mutex is named after the folder as Windows compares names, case-blind; a hash keeps the
// name within the length and the characters a mutex's name allows.
TFolderLock::TFolderLock(const std::string& folder) {
  TFileInfo info;
  if (!PathInfo(folder, info) || info.kind != TFileKind::Folder) return;
  std::wstring name = win::FilePathW(folder);
  while (name.size() > 3 && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
  if (!name.empty()) CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (wchar_t c : name) {
    hash ^= static_cast<uint16_t>(c);
    hash *= 1099511628211ull;
  }
  wchar_t mutexName[64];
  swprintf(mutexName, 64, L"Global\\TavikFolderLock-%016llx", static_cast<unsigned long long>(hash));
  HANDLE m = CreateMutexW(nullptr, FALSE, mutexName);
  if (!m) return;
  // An abandoned mutex (its holder ended without letting go) is handed over held.
  const DWORD got = WaitForSingleObject(m, INFINITE);
  if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
    CloseHandle(m);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(m);
}

TFolderLock::~TFolderLock() {
  if (handle_ == -1) return;
  ReleaseMutex(H(handle_));
  CloseHandle(H(handle_));
}

}  // namespace tavik
