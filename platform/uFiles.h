#pragma once
// Files as the system hands them out, by UTF-8 names: on Windows the names are UTF-16 at the API,
// take drive letters, backslashes and UNC shares, and go past 260 characters in the \\?\ form;
// there a handle also says what others may do with the file while it is open.
#include <cstddef>
#include <cstdint>
#include <string>

namespace tavik {

// What others may do with a file while a handle holds it open. POSIX has no such modes: there
// every handle shares everything, and these are ignored.
enum TShare : unsigned { ShareNone = 0, ShareRead = 1, ShareWrite = 2, ShareDelete = 4 };

class TFile {
 public:
  TFile() = default;
  ~TFile();
  TFile(TFile&& other) noexcept;
  TFile& operator=(TFile&& other) noexcept;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;

  // An existing file for reading.
  static TFile OpenRead(const std::string& path, unsigned share);
  // Always a new empty file (an existing one is replaced), for reading and writing.
  static TFile CreateAlways(const std::string& path, unsigned share);

  bool IsOpen() const { return handle_ != -1; }
  // The system's code for the failed open or call (errno; Windows: GetLastError), 0 after success.
  int Error() const { return error_; }
  // Bytes read (0 at the end), -1 on failure.
  long long Read(void* buffer, size_t count);
  bool WriteAll(const void* data, size_t count);
  // Puts what was written on the disk (fsync; Windows: FlushFileBuffers).
  bool Flush();
  // False when the system reports a failure on closing (a write that did not reach the disk).
  bool Close();

 private:
  std::intptr_t handle_ = -1;
  int error_ = 0;
};

// The system's code of the last failed call below.
int LastFileError();
// Renames from over to, replacing it; the rename is on the disk when this returns (Windows:
// MoveFileExW with write-through).
bool RenameReplacing(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);
// The whole file; false when it cannot be read, with *missing telling whether it does not exist.
bool ReadWholeFile(const std::string& path, std::string& content, bool* missing = nullptr);
// Replaces the file (a link: its target) by a complete new version in one rename, so a crash
// never leaves half a file. An existing file keeps its owner, group and permissions (false, and
// the file unchanged, when the owner cannot be kept); a new one is readable by its owner only.
bool ReplaceFileContent(const std::string& path, const std::string& content);

// Where another account may write (the settings folder the service account owns), a save reads
// the file it replaces without following a link and without waiting on a FIFO or a device, at
// most limit + 1 bytes (so a longer file shows itself). False with why when something is there
// that cannot be read; exists tells whether anything is there.
bool ReadFileToReplace(const std::string& path, size_t limit, std::string& content, bool& exists,
                       std::string& why);
// Replaces path by content through a new file under a name nobody could take first, flushed and
// renamed over it; an existing file keeps its owner, group and permissions, a new one is its
// owner's only. False with why, and the file as it was, on failure.
bool ReplaceFileSafely(const std::string& path, const std::string& content, std::string& why);

}  // namespace tavik
