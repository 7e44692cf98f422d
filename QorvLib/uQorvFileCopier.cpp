#include "QorvLib/uQorvFileCopier.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "QorvLib/uQorvFiles.h"
#include "platform/uErrors.h"
#include "platform/uSystem.h"

namespace tavik {

namespace {

class TFileHandle {
 public:
  explicit TFileHandle(int fd = -1) : fd_(fd) {}
  ~TFileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
  TFileHandle& operator=(TFileHandle&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int Get() const { return fd_; }
  // Closes now, so a failure the file system reports only at close is seen; false with errno then.
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// The temporary copy is removed on every way out except a completed rename.
class TPartialFile {
 public:
  explicit TPartialFile(std::string path) : path_(std::move(path)) {}
  ~TPartialFile() {
    if (!done_) ::unlink(path_.c_str());
  }
  TPartialFile(const TPartialFile&) = delete;
  TPartialFile& operator=(const TPartialFile&) = delete;
  void Done() { done_ = true; }

 private:
  std::string path_;
  bool done_ = false;
};

bool IsRunningExecutable(const std::string& dest) {
  // Looked up once: the program does not move while it runs, and a run copies thousands of files.
  struct TExe {
    std::string path;
    struct stat st {};
    bool known = false;
  };
  static const TExe exe = [] {
    TExe e;
    e.path = ExecutablePath();
    e.known = !e.path.empty() && ::stat(e.path.c_str(), &e.st) == 0;
    return e;
  }();
  if (exe.path.empty()) return false;
  if (SameText(dest, exe.path)) return true;
  // A link or another spelling of the same file would replace the program just as well.
  struct stat a {};
  return exe.known && ::stat(dest.c_str(), &a) == 0 && a.st_dev == exe.st.st_dev && a.st_ino == exe.st.st_ino;
}

// The kernel's in-file copy is not offered between every pair of file systems; these answers
// mean "do it yourself", not that the data cannot be copied.
bool KernelCopyRefused(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF ||
         err == ETXTBSY;
}

// The SHA-256 of a stream of chunks, taken on a thread of its own while the caller reads the
// next chunk, so the hash adds no time where a second core is free. A chunk handed
// over stays untouched until the next Feed or Finish returns: callers alternate two buffers.
class TPipedSha256 {
 public:
  explicit TPipedSha256(bool threaded) {
    if (threaded) worker_ = std::thread([this] { Work(); });
  }
  ~TPipedSha256() { Stop(); }
  TPipedSha256(const TPipedSha256&) = delete;
  TPipedSha256& operator=(const TPipedSha256&) = delete;
  void Feed(const char* data, size_t size) {
    if (!worker_.joinable()) {
      hash_.Update(data, size);
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !pending_; });
    data_ = data;
    size_ = size;
    pending_ = true;
    changed_.notify_all();
  }
  std::string Finish() {
    Stop();
    return hash_.HexDigest();
  }

 private:
  void Stop() {
    if (!worker_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return pending_ || stop_; });
      if (!pending_) return;  // a chunk handed over is always hashed before the end
      lock.unlock();
      hash_.Update(data_, size_);
      lock.lock();
      pending_ = false;
      changed_.notify_all();
    }
  }

  TSha256 hash_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const char* data_ = nullptr;
  size_t size_ = 0;
  bool pending_ = false, stop_ = false;
  std::thread worker_;
};

// A second descriptor for what fd is open on that reads past the page cache, straight from the
// device; -1 where the file system or the system refuses it.
int OpenDirect(int fd) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::open(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC | O_NONBLOCK);
}

// Reads past the cache need buffers, offsets and lengths aligned to the device's blocks; a page
// suits every device.
constexpr size_t DirectAlignment = 4096;
constexpr size_t ReadBackHalf = size_t{4} << 20;

// The hex SHA-256 of what fd holds from its start, read from the device: the pages left in the
// cache are dropped first, and the reads go past the cache where the file system allows it, which
// also spares the processor the cache's own copying. Two halves of a buffer take turns, one read
// while the other is hashed. False with err on a read failure.
bool ReadBackSha256(int fd, std::string& hex, int& err) {
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char, decltype(&std::free)> buf(
      static_cast<char*>(std::aligned_alloc(DirectAlignment, 2 * ReadBackHalf)), &std::free);
  if (!buf) {
    err = ENOMEM;
    return false;
  }
  TFileHandle direct(OpenDirect(fd));
  int reader = direct.Get() >= 0 ? direct.Get() : fd;
  struct stat st {};
  TPipedSha256 hash(::fstat(fd, &st) == 0 && st.st_size > static_cast<off_t>(ReadBackHalf));
  for (off_t at = 0, turn = 0;;) {
    char* const part = buf.get() + (turn % 2 == 0 ? 0 : ReadBackHalf);
    const ssize_t n = ::pread(reader, part, ReadBackHalf, at);
    if (n < 0 && errno == EINTR) continue;
    // A file system that takes the direct open but not the read (or a short read that left the
    // offset unaligned) is read through the cache from here on; its pages were dropped above.
    if (n < 0 && errno == EINVAL && reader != fd) {
      reader = fd;
      continue;
    }
    if (n < 0) {
      err = errno;
      return false;
    }
    if (n == 0) break;
    hash.Feed(part, static_cast<size_t>(n));
    at += n;
    ++turn;
  }
  hex = hash.Finish();
  return true;
}

// The SHA-256 of a source taken on a thread of its own while the copy is made, from a second
// read of the same open file: the copy goes on at the disk's pace instead of the hash's, and the
// hash can finish while the disk settles the copy at the final flush. The pages it reads are the
// ones the copy has just read, so they come from the cache; the copy waits when it is so far ahead
// that they might be gone. The copy's own check that the source is unchanged, made after the
// hash, makes both stand for one and the same file.
class TSourceSha256 {
 public:
  TSourceSha256(int fd, int64_t size, int64_t maxLead)
      : fd_(fd), size_(size), maxLead_(maxLead), worker_([this] { Work(); }) {}
  ~TSourceSha256() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
  TSourceSha256(const TSourceSha256&) = delete;
  TSourceSha256& operator=(const TSourceSha256&) = delete;

  // Told how far the copy has come; returns when the hash is close enough behind it.
  void Copied(int64_t copied) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return ended_ || copied - hashed_ <= maxLead_; });
  }
  // Waits for the whole source. False with err when it could not be read to its size, or with
  // err 0 when it ended sooner (a source cut short, which the copy's own check names).
  bool Finish(std::string& hex, int& err) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return ended_; });
    err = err_;
    if (hashed_ != size_ || err_ != 0) return false;
    hex = hex_;
    return true;
  }

 private:
  void Work() {
    // Reads of 1 MiB measured fastest for a read followed by its hash: smaller ones pay more
    // calls, larger ones leave the processor's cache before they are hashed.
    std::vector<char> buf(size_t{1} << 20);
    TSha256 hash;
    int64_t at = 0;
    int err = 0;
    while (at < size_) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) break;
      }
      const size_t want =
          static_cast<size_t>(std::min<int64_t>(size_ - at, static_cast<int64_t>(buf.size())));
      const ssize_t n = ::pread(fd_, buf.data(), want, at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err = n < 0 ? errno : 0;
        break;
      }
      hash.Update(buf.data(), static_cast<size_t>(n));
      at += n;
      std::lock_guard<std::mutex> lock(mutex_);
      hashed_ = at;
      changed_.notify_all();
    }
    std::string hex = at == size_ && err == 0 ? hash.HexDigest() : std::string();
    std::lock_guard<std::mutex> lock(mutex_);
    hex_ = std::move(hex);
    err_ = err;
    ended_ = true;
    changed_.notify_all();
  }

  const int fd_;
  const int64_t size_, maxLead_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int64_t hashed_ = 0;
  int err_ = 0;
  bool ended_ = false, stop_ = false;
  std::string hex_;
  std::thread worker_;  // last: started once everything it uses is in place
};

// How far a copy may run ahead of its source's hash: an eighth of the memory, whose pages the
// cache can be expected to still hold when the hash reads them again.
int64_t HashLeadLimit() {
  const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  const int64_t memory = pages > 0 && pageSize > 0 ? int64_t{pages} * pageSize : int64_t{1} << 30;
  return std::max<int64_t>(memory / 8, int64_t{64} << 20);
}

// Copies up to size bytes at the current offsets of both files; fewer only at the end of the
// source, which buf then holds. -1 with err set on a read or write failure.
int64_t CopyBlock(int in, int out, char* buf, size_t size, bool& useKernel, int& err) {
  size_t got = 0;
  while (got < size) {
    if (useKernel) {
      ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size - got, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && KernelCopyRefused(errno)) {
        useKernel = false;
        continue;
      }
      if (n < 0) {
        err = errno;
        return -1;
      }
      // Some file systems answer 0 before the real end; let a plain read decide where the end is.
      if (n == 0) useKernel = false;
      got += static_cast<size_t>(n);
      continue;
    }
    ssize_t n = ::read(in, buf + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      return -1;
    }
    if (n == 0) break;
    if (!WriteAll(out, buf + got, static_cast<size_t>(n), err)) return -1;
    got += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(got);
}

// The copy keeps the source's time as a packed local date-time holds it: even seconds of local
// time, no fractions. Rounding in local time matters where the zone's offset has odd seconds.
timespec PackedLocalTime(const timespec& mtime) {
  const long offset = ToLocal(TClock::from_time_t(mtime.tv_sec)).gmtOffsetSeconds;
  int64_t local = static_cast<int64_t>(mtime.tv_sec) + offset;
  local -= ((local % 2) + 2) % 2;
  timespec t{};
  t.tv_sec = static_cast<time_t>(local - offset);
  t.tv_nsec = 0;
  return t;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Size, modification and change time of the open file against those taken at its open.
bool SourceChanged(int fd, const struct stat& atOpen) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) return true;
  return now.st_size != atOpen.st_size || !SameTime(now.st_mtim, atOpen.st_mtim) ||
         !SameTime(now.st_ctim, atOpen.st_ctim);
}

}  // namespace

TSha256::TSha256() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx_);
    throw EQorvError("SHA-256 is not available from OpenSSL");
  }
}

TSha256::~TSha256() {
  EVP_MD_CTX_free(ctx_);
}

void TSha256::Update(const char* data, size_t size) {
  EVP_DigestUpdate(ctx_, data, size);
}

std::string TSha256::HexDigest() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx_, md, &len);
  EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * len);
  for (unsigned int i = 0; i < len; ++i) {
    hex += digits[md[i] >> 4];
    hex += digits[md[i] & 15];
  }
  return hex;
}

bool TQorvFileCopier::FileSha256(const std::string& path, std::string& hex, int& err) {
  // Only a regular file: a FIFO's open would wait for ever.
  TFileHandle fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) {
    err = errno;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  return ReadBackSha256(fd.Get(), hex, err);
}

void TQorvFileCopier::FlushFolder(const std::string& folder) {
  // Some file systems cannot flush a folder; the renamed file is complete either way.
  int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::string TQorvFileCopier::PartialPath(const std::string& dest) {
  // Two destinations in one folder need two names; a hash of the name tells them apart.
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : ExtractFileName(dest)) h = (h ^ c) * 1099511628211ull;
  char name[40];
  std::snprintf(name, sizeof name, ".tavik-%016llx.partial", static_cast<unsigned long long>(h));
  return ExtractFilePath(dest) + name;
}

bool TQorvFileCopier::IsPartialName(const std::string& fileName) {
  auto endsWith = [&](const std::string& tail) {
    return fileName.size() >= tail.size() &&
           fileName.compare(fileName.size() - tail.size(), tail.size(), tail) == 0;
  };
  return (fileName.rfind(".tavik-", 0) == 0 && endsWith(".partial")) || endsWith(".tavik-partial");
}

TProgressScale ScaleProgress(int64_t size, int32_t blockSize) {
  int64_t scale = size, step = blockSize;
  while (scale > INT32_MAX) {
    scale /= 1024;
    step /= 1024;
  }
  return {static_cast<int32_t>(scale), static_cast<int32_t>(step)};
}

void TQorvFileCopier::ResetFileAttrs(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;
  // Hidden is a leading dot and stays; archive and system mean nothing here.
  ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

void TQorvFileCopier::DoCopyError(const std::string& source, const std::string& dest, int err,
                                  std::string& msg, TCopyErrorResponse& response) {
  if (OnError2)
    OnError2(this, source, dest, static_cast<uint8_t>(err & 0xFF), msg, response);
  else if (OnError)
    OnError(this, source, dest, 1, msg);
}

void TQorvFileCopier::DoProgress(int32_t blockSize, int64_t totalSize, int64_t copied) {
  if (!OnProgress) return;
  const TDateTime now = Now();
  if (!sampled_) {
    // The first sample ever starts the clock instead of measuring from an arbitrary origin.
    sampled_ = true;
    sampleTime_ = now;
    bytesSinceSample_ += blockSize;
  } else {
    const double seconds =
        static_cast<double>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - sampleTime_).count()) /
        1000.0;
    bytesSinceSample_ += blockSize;
    if (seconds >= 1.0) {
      sampleTime_ = now;
      transferRate_ = static_cast<double>(bytesSinceSample_) / 1024.0 / seconds;
      bytesSinceSample_ = 0;
    }
  }
  OnProgress(transferRate_, static_cast<int32_t>(copied), static_cast<int32_t>(totalSize));
  Ui().ProcessMessages();
}

TCopyResult TQorvFileCopier::CopyFileTo(const std::string& source, const std::string& destination) {
  lastErrorText_.clear();
  lastSha256_.clear();
  if (OnNewFile) {
    bool skip = false;
    try {
      OnNewFile(source, skip);
    } catch (...) {
      return crAborted;
    }
    if (skip) return crNone;
  }

  const int32_t blockSize = BlockSize > 0 ? BlockSize : DefaultBlockSize;

  std::string dest = ExpandFileName(destination);
  if (!destination.empty() && destination.back() == PathDelim && !FolderExists(dest))
    throw EInOutError("Error copying " + source + " to " + destination + ": " + SysErrorMessage(ENOENT));
  if (FolderExists(dest)) dest = IncludeTrailingSeparator(dest) + ExtractFileName(source);
  if (IsRunningExecutable(dest)) return crIgnored;

  if (OnBeforeCopy) {
    bool skip = false;
    try {
      OnBeforeCopy(this, source, dest, skip);
    } catch (...) {
      return crAborted;
    }
    if (skip) return crNone;
  }

  // Bytes move a chunk of whole blocks per system call; callers still see every block (its
  // progress, its bar step, a hook's abort between blocks), in the same order and number.
  const int64_t chunk = std::max<int64_t>(blockSize, (BytesPerCall / blockSize) * int64_t{blockSize});
  std::vector<char> buffer(static_cast<size_t>(chunk));

  // Only a regular file is opened: a FIFO's open waits for a writer that never comes, and a
  // device's open may act on the device. Looked at before the open, and again on what was
  // opened (without waiting), in case the name changed hands in between.
  struct stat srcStat {};
  TFileHandle in;
  int openErr = ::stat(source.c_str(), &srcStat) != 0 ? errno : 0;
  if (openErr == 0 && S_ISREG(srcStat.st_mode)) {
    in = TFileHandle(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (in.Get() < 0 || ::fstat(in.Get(), &srcStat) != 0) openErr = errno;
  }
  const bool regular = openErr == 0 && S_ISREG(srcStat.st_mode);
  if (!regular) {
    std::string msg = "Cannot open " + source;
    lastErrorText_ = openErr != 0 ? SysErrorMessage(openErr) : std::string(NotRegularFileText);
    TCopyErrorResponse response = erIgnore;
    DoCopyError(source, dest, openErr != 0 ? openErr : EINVAL, msg, response);
    if (response == erSkip) return crSkipped;
    if (response == erAbort) return crAborted;
    throw EInOutError(msg);
  }
  const int64_t size = static_cast<int64_t>(srcStat.st_size);

  TProgressScale scale{};
  if (ProgBar) {
    scale = ScaleProgress(size, blockSize);
    ProgBar->SetMax(scale.Max);
    ProgBar->SetPosition(0);
  }

  const std::string folder = ExtractFilePath(dest);
  if (CheckDestination) CheckDestination();
  if (!FolderExists(folder)) ForceFolders(folder, CreatedFolderMode(ExtractFilePath(source)));

  // The destination itself is left alone until a complete copy replaces it, so its own
  // attributes need no reset: the rename replaces a read-only file as well.
  const std::string partial = PartialPath(dest);
  int outFd = -1;
  for (;;) {
    // A crash may have left an earlier attempt behind, possibly read-only.
    if (CheckDestination) CheckDestination();
    if (!dest.empty()) ::unlink(partial.c_str());
    outFd = dest.empty() ? -1 : ::open(partial.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (outFd >= 0) break;
    const int err = dest.empty() ? ENOENT : errno;
    std::string msg = SysErrorMessage(err);
    lastErrorText_ = msg;
    TCopyErrorResponse response = erIgnore;
    DoCopyError(source, dest, err, msg, response);
    if (response == erSkip) return crSkipped;
    if (response == erAbort) return crAborted;
    TMsgAnswer answer = Ui().AskAbortRetryIgnore(msg);
    if (answer == TMsgAnswer::Abort) return crAborted;
    if (answer == TMsgAnswer::Ignore) return crIgnored;
  }
  TFileHandle out(outFd);
  TPartialFile partialGuard(partial);

  auto fail = [&](int err) {
    throw EInOutError("Error copying " + source + " to " + dest + ": " + SysErrorMessage(err));
  };

  // Files with a size go through the kernel's in-file copy; a reported size of 0, which some
  // pseudo files give, is read and written here. A file of one chunk or less is hashed from the
  // bytes read for its copy; a larger one by a second read on a thread of its own.
  const bool hashing = HashCopies || VerifyCopies;
  const bool hashInline = hashing && size <= chunk;
  bool useKernel = UseKernelCopy && size > 0 && !hashInline;
  std::optional<TSourceSha256> sourceHash;
  if (hashing && !hashInline) sourceHash.emplace(in.Get(), size, HashLeadLimit());
  TSha256 inlineHash;
  int64_t copied = 0;
  for (bool ended = false; !ended;) {
    int err = 0;
    const int64_t n = CopyBlock(in.Get(), out.Get(), buffer.data(), buffer.size(), useKernel, err);
    if (n < 0) fail(err);
    // The disk starts writing each chunk at once, while the next is read, instead of all of an
    // image at the final fsync; a failure still shows there.
    if (n > 0) ::sync_file_range(out.Get(), copied, n, SYNC_FILE_RANGE_WRITE);
    if (hashInline) inlineHash.Update(buffer.data(), static_cast<size_t>(n));
    // The blocks of this chunk; the source ends in a short block, or in an empty one when its
    // size is a whole number of blocks, exactly as block-sized reads would have found it.
    for (int64_t left = n; !ended && !(left == 0 && n == chunk);) {
      const int64_t block = std::min<int64_t>(blockSize, left);
      left -= block;
      copied += block;
      if (ProgBar) ProgBar->SetPosition(ProgBar->Position() + scale.Step);
      DoProgress(blockSize, size, copied);
      ended = block < blockSize;
    }
    if (sourceHash) sourceHash->Copied(copied);
  }
  // An image the imaging product is still writing (or rewriting, or cutting short) would
  // otherwise be renamed into place as if it were whole; nothing keeps writers out on this
  // platform, so the copy checks afterwards that the file it read is the file it opened.
  auto sourceChanged = [&] {
    throw EInOutError("Error copying " + source + " to " + dest + ": the source changed during the copy");
  };
  if (copied != size || SourceChanged(in.Get(), srcStat)) sourceChanged();

  if (KeepFileDate) {
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = PackedLocalTime(srcStat.st_mtim);
    ::futimens(out.Get(), times);
  }
  // The copy is as private as its source (a root-only image stays root-only on the disk), and
  // its owner can always replace it. A file system without permission bits refuses quietly.
  ::fchmod(out.Get(), (srcStat.st_mode & 0777) | S_IWUSR);
  if (::fsync(out.Get()) != 0) fail(errno);
  std::string sha256 = hashInline ? inlineHash.HexDigest() : std::string();
  if (sourceHash) {
    int err = 0;
    if (!sourceHash->Finish(sha256, err)) {
      if (err != 0) fail(err);
      sourceChanged();
    }
    // The hash read the source after the copy did: it too must have read the file as opened.
    if (SourceChanged(in.Get(), srcStat)) sourceChanged();
  }
  if (VerifyCopies) {
    std::string copyDigest;
    int err = 0;
    if (!ReadBackSha256(out.Get(), copyDigest, err)) fail(err);
    if (copyDigest != sha256)
      throw EInOutError("Error copying " + source + " to " + dest +
                        ": the copy read back from the disk differs from the source");
  }
  if (!out.Close()) fail(errno);
  in.Close();
  if (CheckDestination) CheckDestination();
  if (::rename(partial.c_str(), dest.c_str()) != 0) fail(errno);
  partialGuard.Done();
  if (FlushFolderEachCopy) FlushFolder(folder);
  lastSha256_ = sha256;
  if (OnCopied) OnCopied(dest, sha256);
  // The copy already carries the owner's write bit: nothing to reset after the rename.
  return crCopied;
}

}  // namespace tavik
