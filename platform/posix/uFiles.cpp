#include "platform/uFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/uErrors.h"
#include "platform/uOs.h"
#include "platform/uSafeFiles.h"
#include "platform/uSystem.h"

namespace tavik {

namespace {
thread_local int gLastError = 0;

bool Failed() {
  gLastError = errno;
  return false;
}

// The account is looked up once: a run asks for every file it opens, and it never changes.
uid_t Me() {
  static const uid_t me = ::geteuid();
  return me;
}

TFileTime TimeOf(const timespec& t) {
  return {static_cast<int64_t>(t.tv_sec), static_cast<int32_t>(t.tv_nsec)};
}

TFileInfo InfoOf(const struct stat& st) {
  TFileInfo i;
  i.kind = S_ISREG(st.st_mode)   ? TFileKind::Regular
           : S_ISDIR(st.st_mode) ? TFileKind::Folder
           : S_ISLNK(st.st_mode) ? TFileKind::Link
                                 : TFileKind::Other;
  i.size = static_cast<int64_t>(st.st_size);
  i.modified = TimeOf(st.st_mtim);
  i.changed = TimeOf(st.st_ctim);
  i.mode = st.st_mode & 07777;
  i.owner = st.st_uid;
  i.ownedByMe = st.st_uid == Me();
  i.links = st.st_nlink;
  i.device = st.st_dev;
  i.inode = st.st_ino;
  return i;
}

TFile Opened(int fd) {
  return TFile::Adopt(fd, fd < 0 ? errno : 0);
}

// The kernel's in-file copy is not offered between every pair of file systems; these answers
// mean "do it yourself", not that the data cannot be copied.
bool KernelCopyRefused(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF ||
         err == ETXTBSY;
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
  struct stat st {};
  if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
    info = {};
    return Failed();
  }
  info = InfoOf(st);
  return true;
}

TFile TFile::OpenRead(const std::string& path, unsigned, unsigned flags) {
  return Opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | ((flags & OpenNoFollow) ? O_NOFOLLOW : 0) |
                                         ((flags & OpenNoWait) ? O_NONBLOCK : 0)));
}

TFile TFile::CreateAlways(const std::string& path, unsigned) {
  return Opened(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

TFile TFile::CreateNew(const std::string& path, unsigned, unsigned mode) {
  return Opened(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
}

TFile TFile::CreateUnique(const std::string& base, unsigned mode, std::string& created) {
  int err = 0;
  const int fd = CreateUniqueFile(base, mode, created, err);
  return Adopt(fd, fd < 0 ? err : 0);
}

TFile TFile::OpenAppend(const std::string& path, unsigned, bool create, unsigned mode) {
  // Not waiting matters only for what is no regular file, which its caller refuses: a regular
  // file's reads and writes never wait on O_NONBLOCK's account.
  return Opened(::open(
      path.c_str(),
      O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0), mode));
}

long long TFile::ReadAt(void* buffer, size_t count, int64_t offset) {
  for (;;) {
    const ssize_t n = ::pread(static_cast<int>(handle_), buffer, count, static_cast<off_t>(offset));
    if (n >= 0) return n;
    if (errno != EINTR) {
      error_ = gLastError = errno;
      return -1;
    }
  }
}

bool TFile::Info(TFileInfo& info) {
  struct stat st {};
  if (::fstat(static_cast<int>(handle_), &st) != 0) {
    error_ = gLastError = errno;
    return false;
  }
  info = InfoOf(st);
  return true;
}

long long TFile::CopyTo(TFile& out, char* buffer, size_t count, int64_t offset, bool& kernel) {
  // Both files' positions carry the copy along (offset is where this one's stands): the reads at
  // an offset are left to whoever hashes the same open file meanwhile.
  const int in = static_cast<int>(handle_), to = static_cast<int>(out.handle_);
  size_t got = 0;
  while (got < count) {
    if (kernel) {
      const ssize_t n = ::copy_file_range(in, nullptr, to, nullptr, count - got, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && KernelCopyRefused(errno)) {
        kernel = false;
        continue;
      }
      if (n < 0) {
        error_ = gLastError = errno;
        return -1;
      }
      // Some file systems answer 0 before the real end; let a plain read decide where the end is.
      if (n == 0) kernel = false;
      got += static_cast<size_t>(n);
      continue;
    }
    return CopyThrough(out, buffer, count, offset, got);
  }
  return static_cast<long long>(got);
}

long long TFile::ReadForCopy(void* buffer, size_t count, int64_t) {
  return Read(buffer, count);
}

void TFile::StartWriteBack(int64_t offset, int64_t count) {
  ::sync_file_range(static_cast<int>(handle_), offset, count, SYNC_FILE_RANGE_WRITE);
}

bool TFile::SetModified(TFileTime when) {
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(when.sec);
  times[1].tv_nsec = when.nsec;
  if (::futimens(static_cast<int>(handle_), times) == 0) return true;
  error_ = gLastError = errno;
  return false;
}

bool TFile::SetMode(unsigned mode) {
  if (::fchmod(static_cast<int>(handle_), mode) == 0) return true;
  error_ = gLastError = errno;
  return false;
}

void TFile::DropCache() {
  const int fd = static_cast<int>(handle_);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

TFile TFile::OpenUncached() const {
  const std::string self = "/proc/self/fd/" + std::to_string(handle_);
  return Opened(::open(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC | O_NONBLOCK));
}

bool TFile::UncachedReadRefused(int code) {
  return code == EINVAL;
}

bool TFile::PinAt(const std::string& path) {
  // The link leads to the descriptor, not to a name: whatever takes the file's name later, the
  // link still reaches this file for as long as it is open.
  return ::symlink(("/proc/self/fd/" + std::to_string(handle_)).c_str(), path.c_str()) == 0 || Failed();
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
  int err = 0;
  if (WriteToDescriptor(static_cast<int>(handle_), static_cast<const char*>(data), count, err)) return true;
  error_ = gLastError = err;
  return false;
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

// In TFileError's order.
const int os::FileErrorCodes[5] = {ENOENT, EISDIR, EINVAL, EIO, ENOMEM};

int LastFileError() {
  return gLastError;
}

bool RenameOver(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 || Failed();
}

void FlushFolder(const std::string& folder) {
  // Some file systems cannot flush a folder; the renamed file is complete either way.
  const int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return;
  ::fsync(dfd);
  ::close(dfd);
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  if (!RenameOver(from, to)) return false;
  FlushFolder(std::filesystem::path(to).parent_path().string());
  return true;
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || Failed();
}

bool MakeFolder(const std::string& path, int mode) {
  // Created closed and then opened up, so a folder meant to be private never is readable.
  if (::mkdir(path.c_str(), mode < 0 ? 0777 : 0700) != 0) return Failed();
  if (mode >= 0) ::chmod(path.c_str(), static_cast<mode_t>(mode));
  return true;
}

bool RemoveFolder(const std::string& path) {
  return ::rmdir(path.c_str()) == 0 || Failed();
}

bool MakePrivateTempFolder(const std::string& prefix, std::string& created) {
  std::string folder = TempFolderPath() + prefix + "XXXXXX";
  if (!::mkdtemp(folder.data())) return Failed();
  created = folder;
  return true;
}

bool SetPathMode(const std::string& path, unsigned mode) {
  return ::chmod(path.c_str(), mode) == 0 || Failed();
}

bool WriteToDescriptor(int fd, const char* data, size_t size, int& err) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
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
  struct statvfs fs {};
  if (folder.empty()) {
    gLastError = errno = ENOENT;
    return false;
  }
  if (::statvfs(folder.c_str(), &fs) != 0) return Failed();
  freeBytes = static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
  totalBytes = static_cast<int64_t>(fs.f_blocks) * static_cast<int64_t>(fs.f_frsize);
  return true;
}

bool ListFolder(const std::string& folder, const std::function<bool(const std::string&)>& wanted,
                bool details, std::vector<TListedName>& out, int& err) {
  DIR* d = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!d) {
    err = gLastError = errno;
    return false;
  }
  const int dfd = ::dirfd(d);
  while (const dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || !wanted(name)) continue;
    TListedName n;
    n.name = std::move(name);
    // A folder of thousands of names is read without a look-up per name where the listing
    // tells what each is.
    const bool known = e->d_type != DT_UNKNOWN && e->d_type != DT_LNK;
    if (!details && known) {
      n.info.kind = e->d_type == DT_REG   ? TFileKind::Regular
                    : e->d_type == DT_DIR ? TFileKind::Folder
                                          : TFileKind::Other;
      out.push_back(std::move(n));
      continue;
    }
    struct stat st {};
    if (::fstatat(dfd, n.name.c_str(), &st, 0) != 0) {
      // Vanished: gone. Still there (a dangling or looping link, a refusal): kept, with why.
      n.infoErr = errno;
      if (::fstatat(dfd, n.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      n.info.kind = TFileKind::Other;
      out.push_back(std::move(n));
      continue;
    }
    n.info = InfoOf(st);
    out.push_back(std::move(n));
  }
  ::closedir(d);
  return true;
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

TFolderLock::TFolderLock(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // flock needs no write access, so any account that can enter the folder can take its turn.
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  handle_ = fd;
}

TFolderLock::~TFolderLock() {
  if (handle_ != -1) ::close(static_cast<int>(handle_));
}

}  // namespace tavik
