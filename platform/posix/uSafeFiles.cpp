#include "platform/uSafeFiles.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/uErrors.h"

namespace tavik {

int OpenRegularFile(const std::string& path, int flags, std::string& why, int& err, mode_t mode) {
  const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) {
    err = errno;
    why = err == ELOOP ? SymbolicLinkText : SysErrorMessage(err);
    if (err == ELOOP) err = 0;
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    err = 0;
    why = NotRegularText;
    return -1;
  }
  return fd;
}

bool ReadFileWithin(const std::string& path, size_t limit, std::string& content, std::string& why, int& err) {
  content.clear();
  const int fd = OpenRegularFile(path, O_RDONLY, why, err);
  if (fd < 0) return false;
  std::string text(limit, '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      why = SysErrorMessage(err);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  text.resize(got);
  content = std::move(text);
  return true;
}

int CreateUniqueFile(const std::string& base, mode_t mode, std::string& created, int& err, int folderFd) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  // A name taken already, by chance or planted, is passed over: only a new file will do.
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[12];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
      err = errno ? errno : EIO;
      return -1;
    }
    std::string name = base + ".tmp-";
    for (unsigned char r : random) name += letters[r % (sizeof letters - 1)];
    const int fd = ::openat(folderFd < 0 ? AT_FDCWD : folderFd, name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      created = name;
      return fd;
    }
    if (errno != EEXIST) {
      err = errno;
      return -1;
    }
  }
  err = EEXIST;
  return -1;
}

}  // namespace tavik
