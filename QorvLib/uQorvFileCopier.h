#pragma once
// Copies one file at a time, block by block, so a progress bar can follow large image files and
// the copy can keep the source's modification time; hooks before and during each copy and a
// policy for failures (raise, ask the user, skip or abort).
#include <cstdint>
#include <functional>
#include <string>

#include "platform/uClock.h"
#include "platform/uSha256.h"
#include "platform/uUiServices.h"

namespace tavik {

enum TCopyErrorResponse : uint8_t { erIgnore = 0, erSkip = 1, erAbort = 2 };
enum TCopyResult : uint8_t { crNone = 0, crSkipped = 1, crCopied = 2, crIgnored = 3, crAborted = 4 };

class TQorvFileCopier;

using TNewFile = std::function<void(const std::string& FileName, bool& Skip)>;
using TCopyEvent = std::function<void(TQorvFileCopier* Sender, const std::string& FileName,
                                      std::string& DestName, bool& Skip)>;
using TCopyError = std::function<void(TQorvFileCopier* Sender, const std::string& FileName,
                                      const std::string& DestName, uint8_t ErrNum, std::string& Msg)>;
using TCopyError2 =
    std::function<void(TQorvFileCopier* Sender, const std::string& FileName, const std::string& DestName,
                       uint8_t Error, std::string& Msg, TCopyErrorResponse& Response)>;
using TProgressEvent = std::function<void(double BtyesPerSec, int32_t CurrentPos, int32_t TotalSize)>;
using TCancelEvent = std::function<void(TQorvFileCopier* Sender, bool& Cancel)>;

// The bar's range must fit a signed 32-bit value: both the range and the per-block step are
// divided by 1024 until it does.
struct TProgressScale {
  int32_t Max;
  int32_t Step;
};
TProgressScale ScaleProgress(int64_t size, int32_t blockSize);

class TQorvFileCopier {
 public:
  static constexpr int32_t DefaultBlockSize = 24576;

  // Where a copy is written until it is complete: a hidden name in the destination's folder,
  // short enough for any file system whatever the destination's own name.
  static std::string PartialPath(const std::string& dest);
  // Whether a file name is such a temporary copy (also of earlier versions, which appended
  // ".tavik-partial" to the destination's name).
  static bool IsPartialName(const std::string& fileName);
  // The reason given for a source that is a FIFO, a device or anything else but a file.
  static constexpr const char* NotRegularFileText = "not a regular file";

  TQorvFileCopier() = default;
  TQorvFileCopier(const TQorvFileCopier&) = delete;
  TQorvFileCopier& operator=(const TQorvFileCopier&) = delete;

  TCopyError OnError;
  TCopyError2 OnError2;  // takes precedence over OnError
  TCancelEvent OnCancel;
  TCancelEvent& OnCanel = OnCancel;      // the older, misspelt name of the same handler
  int32_t BlockSize = DefaultBlockSize;  // 0 or less copies with the default
  TNewFile OnNewFile;
  TCopyEvent OnBeforeCopy;
  TProgressEvent OnProgress;
  // Called once before the destination's folder and the temporary copy are created (again at each
  // retry of that) and once before the copy is renamed into place; whatever it throws ends the copy (the
  // temporary copy removed) and reaches the caller, never the error handlers. A disk that went away stops
  // here.
  std::function<void()> CheckDestination;
  TProgressEvent OnXCopyProgress;
  TProgressTarget* ProgBar = nullptr;
  TProgressTarget* XCopyProgBar = nullptr;
  bool KeepFileDate = false;
  bool XCopyEmptyFolders = false;
  // Off forces the plain read-and-write loop that a copy between file systems the kernel
  // refuses falls back to anyway.
  bool UseKernelCopy = true;
  // Reads every copy back from the disk after its flush (past the cache, or with its cached pages
  // dropped first) and compares it with the source's SHA-256, before it takes the destination's
  // name.
  bool VerifyCopies = false;
  // Takes the SHA-256 of every copy's source while it is copied (LastSha256): from the bytes read
  // for a file of one chunk or less, from a second read of the source (its pages still cached) on
  // a thread of its own for a larger one. VerifyCopies takes it too.
  bool HashCopies = false;
  // When set, a copy whose SHA-256 is another fails (the copy removed) before it takes the
  // destination's name: what held the name stays as it was. Needs HashCopies or VerifyCopies.
  std::string ExpectedSha256;
  // Called once a complete copy holds the destination's name, with that path and LastSha256.
  // Whatever it throws reaches the caller.
  std::function<void(const std::string& dest, const std::string& sha256)> OnCopied;
  // Off leaves the flush of the destination's folder after each rename to the caller, who
  // settles a whole batch of copies with one FlushFolder: until then a crash can only leave a
  // copy under its temporary name.
  bool FlushFolderEachCopy = true;
  // About how many bytes move per read and write, rounded down to whole blocks (one block at
  // least). What callers see per block does not depend on it.
  int64_t BytesPerCall = 1 << 20;

  // Copies source to dest (a file path or an existing folder; a path ending in a separator is
  // a folder, and when it does not exist the copy fails rather than take it as a file name). The copy is
  // written beside the destination under a temporary name, flushed, and only then renamed over the
  // destination, so a destination is replaced by a complete copy or not at all; a read or write failure
  // raises an error naming the file and the reason.
  TCopyResult CopyFileTo(const std::string& source, const std::string& dest);
  void CancelCopy() { cancelRequested_ = true; }
  bool CancelRequested() const { return cancelRequested_; }
  // The system's reason for the failure behind the last crSkipped, crAborted or crIgnored that
  // a source or destination error led to; empty after a copy without one.
  const std::string& LastErrorText() const { return lastErrorText_; }
  // The hex SHA-256 of the last copy made with HashCopies or VerifyCopies on; empty otherwise.
  const std::string& LastSha256() const { return lastSha256_; }

  // The hex SHA-256 of what path holds now, read from the device (its cached pages dropped
  // first, so a disk that gives back other bytes than it took is caught). False with the
  // system's error number in err when it cannot be opened or read.
  static bool FileSha256(const std::string& path, std::string& hex, int& err);

  // Makes the renames in folder durable; a file system that cannot flush a folder is let be.
  static void FlushFolder(const std::string& folder);

  // Makes a file replaceable and plain: gives the owner write access. Failures are ignored.
  static void ResetFileAttrs(const std::string& path);

 private:
  class TCopyJob;  // one copy under way, taken step by step

  void DoCopyError(const std::string& source, const std::string& dest, int err, std::string& msg,
                   TCopyErrorResponse& response);
  void DoProgress(int32_t blockSize, int64_t totalSize, int64_t copied);

  double transferRate_ = 0;
  int64_t bytesSinceSample_ = 0;
  TDateTime sampleTime_{};
  bool sampled_ = false;
  bool cancelRequested_ = false;
  std::string lastErrorText_;
  std::string lastSha256_;
};

}  // namespace tavik
