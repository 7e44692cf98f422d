#include "platform/uFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/uErrors.h"
#include "platform/uOs.h"
#include "platform/uSafeFiles.h"

namespace tavik {

namespace {
int gLastError = 0;

bool Failed() {
  gLastError = errno;
  return false;
}

}  // namespace

TFile TFile::OpenRead(const std::string& path, unsigned) {
  TFile f;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) f.error_ = gLastError = errno;
  f.handle_ = fd;
  return f;
}

TFile TFile::CreateAlways(const std::string& path, unsigned) {
  TFile f;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) f.error_ = gLastError = errno;
  f.handle_ = fd;
  return f;
}

long long TFile::Read(void* buffer, size_t count) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer, count);
    if (n >= 0) return n;
    if (errno != EINTR) {
      error_ = gLastError = errno;
      return -1;
    }
  }
}

bool TFile::WriteAll(const void* data, size_t count) {
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t n = ::write(static_cast<int>(handle_), p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = gLastError = n < 0 ? errno : EIO;
      return false;
    }
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool TFile::Flush() {
  if (::fsync(static_cast<int>(handle_)) == 0) return true;
  error_ = gLastError = errno;
  return false;
}

bool TFile::Close() {
  if (handle_ == -1) return true;
  const int rc = ::close(static_cast<int>(handle_));
  handle_ = -1;
  if (rc == 0) return true;
  error_ = gLastError = errno;
  return false;
}

bool os::MissingFileError(int code) {
  return code == ENOENT;
}

int LastFileError() {
  return gLastError;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return Failed();
  // Make the rename itself durable; a folder that cannot be flushed still holds the new name.
  const std::string folder = std::filesystem::path(to).parent_path().string();
  const int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || Failed();
}

bool ReplaceFileContent(const std::string& path, const std::string& content) {
  // A file that is a link to one kept elsewhere stays a link: the new version goes to its target.
  std::string target = path;
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) {
    auto real = std::filesystem::canonical(path, ec);
    if (!ec) target = real.string();
  }
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  const std::string tmp = target + ".tmp-" + std::to_string(::getpid());
  const mode_t mode = exists ? (st.st_mode & 07777) : 0600;
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return Failed();
  bool ok = ::fchmod(fd, mode) == 0 || !exists;
  // The new version belongs to whoever owned the old one: a file saved by root for a service account
  // must stay that account's. Where the owner cannot be kept, the file is left as it was.
  if (ok && exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()))
    ok = ::fchown(fd, st.st_uid, st.st_gid) == 0 && ::fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (!ok) gLastError = errno;
  if (::close(fd) != 0 && ok) ok = Failed();
  if (ok && !RenameReplacing(tmp, target)) ok = false;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

bool ReadFileToReplace(const std::string& path, size_t limit, std::string& content, bool& exists,
                       std::string& why) {
  struct stat st {};
  exists = false;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    why = SysErrorMessage(errno);
    return false;
  }
  exists = true;
  int err = 0;
  return ReadFileWithin(path, limit + 1, content, why, err);
}

bool ReplaceFileSafely(const std::string& path, const std::string& content, std::string& why) {
  struct stat st {};
  const bool exists = ::lstat(path.c_str(), &st) == 0;
  // A name known in advance could be a link planted by whoever can write to the folder.
  std::string tmp;
  int err = 0;
  const int fd = CreateUniqueFile(path, 0600, tmp, err);
  if (fd < 0) {
    why = SysErrorMessage(err);
    return false;
  }
  bool ok = true;
  // The new version belongs to whoever owned the old one: a file saved by root for a service
  // account must stay that account's. Where the owner cannot be kept, the file is left as it was.
  if (exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()))
    ok = ::fchown(fd, st.st_uid, st.st_gid) == 0;
  if (ok) ok = ::fchmod(fd, exists ? (st.st_mode & 07777) : 0600) == 0;
  for (size_t done = 0; ok && done < content.size();) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      ok = false;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (!ok) err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    why = SysErrorMessage(err);
    return false;
  }
  // Make the rename itself durable; a folder that cannot be flushed still holds the new file.
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if (const int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace tavik
