#include "QorvLib/uQorvFileCopier.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "QorvLib/uQorvFiles.h"
#include "platform/uErrors.h"
#include "platform/uFiles.h"
#include "platform/uSystem.h"

namespace tavik {

namespace {

// The temporary copy is removed on every way out except a completed rename: closed first, since
// Windows removes no file that is still open.
class TPartialFile {
 public:
  TPartialFile(std::string path, TFile& file) : path_(std::move(path)), file_(file) {}
  ~TPartialFile() {
    if (done_) return;
    file_.Close();
    RemoveFile(path_);
  }
  TPartialFile(const TPartialFile&) = delete;
  TPartialFile& operator=(const TPartialFile&) = delete;
  void Done() { done_ = true; }

 private:
  std::string path_;
  TFile& file_;
  bool done_ = false;
};

// dest is what the copy would replace; destInfo what stands there, when it was looked at already.
bool IsRunningExecutable(const std::string& dest, const TFileInfo* destInfo) {
  // Looked up once: the program does not move while it runs, and a run copies thousands of files.
  struct TExe {
    std::string path;
    TFileInfo info;
    bool known = false;
  };
  static const TExe exe = [] {
    TExe e;
    e.path = ExecutablePath();
    e.known = !e.path.empty() && PathInfo(e.path, e.info);
    return e;
  }();
  if (exe.path.empty()) return false;
  if (SameText(dest, exe.path)) return true;
  if (!exe.known) return false;
  // A link or another spelling of the same file would replace the program just as well.
  TFileInfo there;
  if (!destInfo) {
    if (!PathInfo(dest, there)) return false;
    destInfo = &there;
  }
  return destInfo->kind != TFileKind::Missing && destInfo->SameFile(exe.info);
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

constexpr size_t ReadBackHalf = size_t{4} << 20;

// The hex SHA-256 of what f holds from its start, read from the device: the pages left in the
// cache are dropped first, and the reads go past the cache where the file system allows it, which
// also spares the processor the cache's own copying. Two halves of a buffer take turns, one read
// while the other is hashed. False with err on a read failure.
bool ReadBackSha256(TFile& f, std::string& hex, int& err) {
  f.DropCache();
  // Over-allocated by one alignment and started at its first aligned byte: not every C library
  // has aligned_alloc.
  std::unique_ptr<char[]> block(new (std::nothrow) char[2 * ReadBackHalf + TFile::UncachedAlignment]);
  if (!block) {
    err = FileErrorCode(TFileError::NoMemory);
    return false;
  }
  void* start = block.get();
  size_t room = 2 * ReadBackHalf + TFile::UncachedAlignment;
  char* const buf = static_cast<char*>(std::align(TFile::UncachedAlignment, 2 * ReadBackHalf, start, room));
  TFile direct = f.OpenUncached();
  TFile* reader = direct.IsOpen() ? &direct : &f;
  TFileInfo info;
  TPipedSha256 hash(f.Info(info) && info.size > static_cast<int64_t>(ReadBackHalf));
  for (int64_t at = 0, turn = 0;;) {
    char* const part = buf + (turn % 2 == 0 ? 0 : ReadBackHalf);
    const long long n = reader->ReadAt(part, ReadBackHalf, at);
    // A file system that takes the uncached open but not the read (or a short read that left the
    // offset unaligned) is read through the cache from here on; its pages were dropped above.
    if (n < 0 && reader != &f && TFile::UncachedReadRefused(reader->Error())) {
      reader = &f;
      continue;
    }
    if (n < 0) {
      err = reader->Error();
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
  TSourceSha256(TFile& file, int64_t size, int64_t maxLead)
      : file_(file), size_(size), maxLead_(maxLead), worker_([this] { Work(); }) {}
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
      // Reads at an offset of their own: the copy reads the same open file meanwhile.
      const long long n = file_.ReadAt(buf.data(), want, at);
      if (n <= 0) {
        err = n < 0 ? file_.Error() : 0;
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

  TFile& file_;
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
  static const int64_t limit = [] {
    const int64_t memory = PhysicalMemoryBytes();
    return std::max<int64_t>((memory > 0 ? memory : int64_t{1} << 30) / 8, int64_t{64} << 20);
  }();
  return limit;
}

// The copy keeps the source's time as a packed local date-time holds it: even seconds of local
// time, no fractions. Rounding in local time matters where the zone's offset has odd seconds.
TFileTime PackedLocalTime(const TFileTime& mtime) {
  const long offset = ToLocal(TClock::from_time_t(static_cast<std::time_t>(mtime.sec))).gmtOffsetSeconds;
  int64_t local = mtime.sec + offset;
  local -= ((local % 2) + 2) % 2;
  return {local - offset, 0};
}

// Size, modification and change time of the open file against those taken at its open.
bool SourceChanged(TFile& f, const TFileInfo& atOpen) {
  TFileInfo now;
  if (!f.Info(now)) return true;
  return now.size != atOpen.size || !(now.modified == atOpen.modified) || !(now.changed == atOpen.changed);
}

// What a hook said: a hook that throws aborts the copy, one that sets skip passes the file by;
// nothing when the copy goes on.
template <typename THook>
std::optional<TCopyResult> HookVerdict(THook&& hook) {
  bool skip = false;
  try {
    hook(skip);
  } catch (...) {
    return crAborted;
  }
  if (skip) return crNone;
  return std::nullopt;
}

// The file a copy to destination writes: the destination itself, or the source's name in it when
// it is a folder; a destination ending in a separator must be a folder that exists. folderKnown
// tells that the destination's folder was just seen to exist; destInfo is filled in when the
// destination itself was looked at.
std::string DestinationPath(const std::string& source, const std::string& destination, bool& folderKnown,
                            TFileInfo& destInfo, bool& destLooked) {
  std::string dest = ExpandFileName(destination);
  TFileInfo info;
  const bool there = PathInfo(dest, info);
  folderKnown = there && info.kind == TFileKind::Folder;
  if (!destination.empty() && destination.back() == PathDelim && !folderKnown)
    throw EInOutError("Error copying " + source + " to " + destination + ": " +
                      SysErrorMessage(FileErrorCode(TFileError::Missing)));
  destLooked = !folderKnown;
  if (folderKnown) return IncludeTrailingSeparator(dest) + ExtractFileName(source);
  destInfo = info;
  return dest;
}

}  // namespace

bool TQorvFileCopier::FileSha256(const std::string& path, std::string& hex, int& err) {
  // Only a regular file: a FIFO's open would wait for ever.
  TFile f = TFile::OpenRead(path, ShareRead | ShareWrite | ShareDelete, OpenNoWait);
  TFileInfo info;
  if (!f.IsOpen() || !f.Info(info)) {
    err = f.Error();
    return false;
  }
  if (info.kind != TFileKind::Regular) {
    err = FileErrorCode(info.kind == TFileKind::Folder ? TFileError::IsFolder : TFileError::Invalid);
    return false;
  }
  return ReadBackSha256(f, hex, err);
}

void TQorvFileCopier::FlushFolder(const std::string& folder) {
  tavik::FlushFolder(folder);
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
  TFileInfo info;
  if (!PathInfo(path, info)) return;
  // Hidden is a leading dot and stays; archive and system mean nothing here.
  SetPathMode(path, info.mode | 0200);
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

// One copy under way, from the opened source to the copy holding the destination's name. Its
// members are made in the order the copy needs them and go in the reverse order: the source's hash
// stops reading before the source is closed, and an unfinished temporary copy is removed before
// its handle is closed.
class TQorvFileCopier::TCopyJob {
 public:
  TCopyJob(TQorvFileCopier& copier, const std::string& source, std::string dest, bool folderKnown,
           int32_t blockSize)
      : copier_(copier),
        source_(source),
        dest_(std::move(dest)),
        blockSize_(blockSize),
        folderKnown_(folderKnown),
        // Bytes move a chunk of whole blocks per system call; callers still see every block (its
        // progress, its bar step, a hook's abort between blocks), in the same order and number.
        chunk_(std::max<int64_t>(blockSize, (copier.BytesPerCall / blockSize) * int64_t{blockSize})),
        buffer_(static_cast<size_t>(chunk_)) {}

  // Each step either goes on or ends the copy with the result it returns (or throws).
  std::optional<TCopyResult> OpenSource();
  void StartProgress();
  std::optional<TCopyResult> CreatePartial();
  void CopyData();
  std::string Settle();
  void PutInPlace(const std::string& sha256);

 private:
  // The copier's error handlers: a skip or an abort ends the copy; otherwise msg, as the handlers
  // left it, is the caller's to report.
  std::optional<TCopyResult> AskHandlers(int err, std::string& msg) {
    TCopyErrorResponse response = erIgnore;
    copier_.DoCopyError(source_, dest_, err, msg, response);
    if (response == erSkip) return crSkipped;
    if (response == erAbort) return crAborted;
    return std::nullopt;
  }
  [[noreturn]] void Fail(const std::string& reason) const {
    throw EInOutError("Error copying " + source_ + " to " + dest_ + ": " + reason);
  }
  [[noreturn]] void Fail(int err) const { Fail(SysErrorMessage(err)); }
  [[noreturn]] void Fail(const TFile& f) const { Fail(f.Error()); }
  [[noreturn]] void FailSourceChanged() const { Fail("the source changed during the copy"); }

  TQorvFileCopier& copier_;
  const std::string& source_;
  const std::string dest_;
  const int32_t blockSize_;
  const bool folderKnown_;
  const int64_t chunk_;
  std::vector<char> buffer_;
  TFileInfo srcInfo_;
  TFile in_;
  int64_t size_ = 0;
  TProgressScale scale_{};
  std::string folder_, partial_;
  TFile out_;
  std::optional<TPartialFile> partialGuard_;
  bool hashInline_ = false;
  std::optional<TSourceSha256> sourceHash_;
  std::optional<TSha256> inlineHash_;
  int64_t copied_ = 0;
};

// Only a regular file is opened: a FIFO's open waits for a writer that never comes, and a
// device's open may act on the device. Looked at before the open, and again on what was
// opened (without waiting), in case the name changed hands in between. The imaging product may
// be writing the image still: its open must not keep the copy out (nor the copy it), which the
// check after the copy is for.
std::optional<TCopyResult> TQorvFileCopier::TCopyJob::OpenSource() {
  int openErr = PathInfo(source_, srcInfo_) ? 0 : LastFileError();
  if (openErr == 0 && srcInfo_.kind == TFileKind::Regular) {
    in_ = TFile::OpenRead(source_, ShareRead | ShareWrite | ShareDelete, OpenNoWait);
    if (!in_.IsOpen() || !in_.Info(srcInfo_)) openErr = in_.Error();
  }
  const bool regular = openErr == 0 && srcInfo_.kind == TFileKind::Regular;
  if (!regular) {
    std::string msg = "Cannot open " + source_;
    copier_.lastErrorText_ = openErr != 0 ? SysErrorMessage(openErr) : std::string(NotRegularFileText);
    if (auto end = AskHandlers(openErr != 0 ? openErr : FileErrorCode(TFileError::Invalid), msg)) return end;
    throw EInOutError(msg);
  }
  size_ = srcInfo_.size;
  return std::nullopt;
}

void TQorvFileCopier::TCopyJob::StartProgress() {
  TProgressTarget* bar = copier_.ProgBar;
  if (!bar) return;
  scale_ = ScaleProgress(size_, blockSize_);
  bar->SetMax(scale_.Max);
  bar->SetPosition(0);
}

// The destination's folder, made where missing, and the temporary copy in it, opened for writing.
// The destination is looked at once before both are made (and at each retry): nothing is
// created on what is no longer the disk.
std::optional<TCopyResult> TQorvFileCopier::TCopyJob::CreatePartial() {
  folder_ = ExtractFilePath(dest_);
  // The destination itself is left alone until a complete copy replaces it, so its own
  // attributes need no reset: the rename replaces a read-only file as well.
  partial_ = PartialPath(dest_);
  for (bool folderThere = folderKnown_;;) {
    if (copier_.CheckDestination) copier_.CheckDestination();
    if (!folderThere && !FolderExists(folder_))
      ForceFolders(folder_, CreatedFolderMode(ExtractFilePath(source_)));
    folderThere = true;
    if (!dest_.empty()) {
      // Kept from being removed or renamed under the copy, not from being read or written (as on
      // POSIX): the read-back opens it a second time, and what it holds is checked there.
      const unsigned share = ShareRead | ShareWrite;
      out_ = TFile::CreateNew(partial_, share, 0600);
      // A crash may have left an earlier attempt behind, possibly read-only.
      if (!out_.IsOpen() && RemoveFile(partial_)) out_ = TFile::CreateNew(partial_, share, 0600);
      if (out_.IsOpen()) break;
    }
    const int err = dest_.empty() ? FileErrorCode(TFileError::Missing) : out_.Error();
    std::string msg = SysErrorMessage(err);
    copier_.lastErrorText_ = msg;
    if (auto end = AskHandlers(err, msg)) return end;
    TMsgAnswer answer = Ui().AskAbortRetryIgnore(msg);
    if (answer == TMsgAnswer::Abort) return crAborted;
    if (answer == TMsgAnswer::Ignore) return crIgnored;
  }
  partialGuard_.emplace(partial_, out_);
  return std::nullopt;
}

// Files with a size go through the kernel's in-file copy; a reported size of 0, which some
// pseudo files give, is read and written here. A file of one chunk or less is hashed from the
// bytes read for its copy; a larger one by a second read on a thread of its own.
void TQorvFileCopier::TCopyJob::CopyData() {
  const bool hashing = copier_.HashCopies || copier_.VerifyCopies;
  hashInline_ = hashing && size_ <= chunk_;
  bool useKernel = copier_.UseKernelCopy && size_ > 0 && !hashInline_;
  if (hashing && !hashInline_) sourceHash_.emplace(in_, size_, HashLeadLimit());
  inlineHash_.emplace();
  for (bool ended = false; !ended;) {
    const int64_t n = in_.CopyTo(out_, buffer_.data(), buffer_.size(), copied_, useKernel);
    if (n < 0) Fail(in_);
    // The disk starts writing each chunk at once, while the next is read, instead of all of an
    // image at the final flush; a failure still shows there. The last chunk goes with the flush.
    if (n == chunk_) out_.StartWriteBack(copied_, n);
    if (hashInline_) inlineHash_->Update(buffer_.data(), static_cast<size_t>(n));
    // The blocks of this chunk; the source ends in a short block, or in an empty one when its
    // size is a whole number of blocks, exactly as block-sized reads would have found it.
    for (int64_t left = n; !ended && !(left == 0 && n == chunk_);) {
      const int64_t block = std::min<int64_t>(blockSize_, left);
      left -= block;
      copied_ += block;
      if (copier_.ProgBar) copier_.ProgBar->SetPosition(copier_.ProgBar->Position() + scale_.Step);
      copier_.DoProgress(blockSize_, size_, copied_);
      ended = block < blockSize_;
    }
    if (sourceHash_) sourceHash_->Copied(copied_);
  }
}

// Makes the copy durable with the source's time and mode, and returns the source's SHA-256
// (empty when not hashing), which a verified copy read back from the disk matches.
std::string TQorvFileCopier::TCopyJob::Settle() {
  // An image the imaging product is still writing (or rewriting, or cutting short) would
  // otherwise be renamed into place as if it were whole; nothing keeps writers out on this
  // platform, so the copy checks afterwards that the file it read is the file it opened.
  if (copied_ != size_ || SourceChanged(in_, srcInfo_)) FailSourceChanged();

  if (copier_.KeepFileDate) out_.SetModified(PackedLocalTime(srcInfo_.modified));
  // The copy is as private as its source (a root-only image stays root-only on the disk), and
  // its owner can always replace it. A file system without permission bits refuses quietly.
  out_.SetMode((srcInfo_.mode & 0777) | 0200);
  if (!out_.Flush()) Fail(out_);
  std::string sha256 = hashInline_ ? inlineHash_->HexDigest() : std::string();
  if (sourceHash_) {
    int err = 0;
    if (!sourceHash_->Finish(sha256, err)) {
      if (err != 0) Fail(err);
      FailSourceChanged();
    }
    // The hash read the source after the copy did: it too must have read the file as opened.
    if (SourceChanged(in_, srcInfo_)) FailSourceChanged();
  }
  if (copier_.VerifyCopies) {
    std::string copyDigest;
    int err = 0;
    if (!ReadBackSha256(out_, copyDigest, err)) Fail(err);
    if (copyDigest != sha256) Fail("the copy read back from the disk differs from the source");
  }
  if (!copier_.ExpectedSha256.empty() && sha256 != copier_.ExpectedSha256)
    Fail("the copy's SHA-256 is not the one expected (the source changed)");
  return sha256;
}

// The settled copy takes the destination's name, replacing whatever held it.
void TQorvFileCopier::TCopyJob::PutInPlace(const std::string& sha256) {
  if (!out_.Close()) Fail(out_);
  in_.Close();
  if (copier_.CheckDestination) copier_.CheckDestination();
  if (!RenameOver(partial_, dest_)) Fail(LastFileError());
  partialGuard_->Done();
  if (copier_.FlushFolderEachCopy) FlushFolder(folder_);
  copier_.lastSha256_ = sha256;
  if (copier_.OnCopied) copier_.OnCopied(dest_, sha256);
}

TCopyResult TQorvFileCopier::CopyFileTo(const std::string& source, const std::string& destination) {
  lastErrorText_.clear();
  lastSha256_.clear();
  if (OnNewFile) {
    if (auto end = HookVerdict([&](bool& skip) { OnNewFile(source, skip); })) return *end;
  }

  const int32_t blockSize = BlockSize > 0 ? BlockSize : DefaultBlockSize;
  bool folderKnown = false, destLooked = false;
  TFileInfo destInfo;
  std::string dest = DestinationPath(source, destination, folderKnown, destInfo, destLooked);
  if (IsRunningExecutable(dest, destLooked ? &destInfo : nullptr)) return crIgnored;
  if (OnBeforeCopy) {
    if (auto end = HookVerdict([&](bool& skip) { OnBeforeCopy(this, source, dest, skip); })) return *end;
  }

  TCopyJob job(*this, source, std::move(dest), folderKnown, blockSize);
  if (auto end = job.OpenSource()) return *end;
  job.StartProgress();
  if (auto end = job.CreatePartial()) return *end;
  job.CopyData();
  job.PutInPlace(job.Settle());
  // The copy already carries the owner's write bit: nothing to reset after the rename.
  return crCopied;
}

}  // namespace tavik
