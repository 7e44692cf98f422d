#pragma once
// Files as the system hands them out, by UTF-8 names: on Windows the names are UTF-16 at the API,
// take drive letters, backslashes and UNC shares, and go past 260 characters in the \\?\ form;
// there a handle also says what others may do with the file while it is open.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavik {

// What others may do with a file while a handle holds it open. POSIX has no such modes: there
// every handle shares everything, and these are ignored.
enum TShare : unsigned { ShareNone = 0, ShareRead = 1, ShareWrite = 2, ShareDelete = 4 };

// What a name stands for, as the copier and the run log look at it before they trust it.
enum class TFileKind : uint8_t { Missing, Regular, Folder, Link, Other };

// A moment as file systems keep it: seconds since 1970 (UTC) and nanoseconds.
struct TFileTime {
  int64_t sec = 0;
  int32_t nsec = 0;
  bool operator==(const TFileTime&) const = default;
};

struct TFileInfo {
  TFileKind kind = TFileKind::Missing;
  int64_t size = 0;
  TFileTime modified;
  // When the file's data or its description last changed (POSIX ctime; Windows: ChangeTime).
  TFileTime changed;
  // Permission bits (07777). Windows: 0444 for a read-only file, 0666 otherwise.
  unsigned mode = 0;
  // The owning account (uid); Windows: 0, with ownedByMe always true.
  unsigned long owner = 0;
  bool ownedByMe = true;
  // How many names the file has (hard links).
  uint64_t links = 1;
  // Which file it is: the device and inode (Windows: the volume serial number and file index).
  uint64_t device = 0, inode = 0;
  bool SameFile(const TFileInfo& o) const { return device == o.device && inode == o.inode; }
};

// What path stands for (with follow false, a link itself rather than what it leads to). False,
// with the system's code in LastFileError, when nothing can be looked at there.
bool PathInfo(const std::string& path, TFileInfo& info, bool follow = true);

// How an open treats what it finds: never through a link at the name itself, and never waiting
// (a FIFO or a device put at the name must not hold the run at the open).
enum TOpenFlags : unsigned { OpenNoFollow = 1, OpenNoWait = 2 };

class TFile {
 public:
  TFile() = default;
  ~TFile();
  TFile(TFile&& other) noexcept;
  TFile& operator=(TFile&& other) noexcept;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;

  // An existing file for reading.
  static TFile OpenRead(const std::string& path, unsigned share, unsigned flags = 0);
  // Always a new empty file (an existing one is replaced), for reading and writing.
  static TFile CreateAlways(const std::string& path, unsigned share);
  // A file that must not exist yet, for reading and writing, with the permission bits mode
  // less the umask's (POSIX); never through a link.
  static TFile CreateNew(const std::string& path, unsigned share, unsigned mode);
  // base + ".tmp-" + random letters, created as CreateNew creates; the name in created.
  static TFile CreateUnique(const std::string& base, unsigned mode, std::string& created);
  // For appending, every write at the end whoever else writes. An existing file unless create;
  // with create, a new one (CreateNew's rules). Never through a link, never waiting.
  static TFile OpenAppend(const std::string& path, unsigned share, bool create, unsigned mode);

  // What a system side's own open gave: the handle (-1 when it failed) and the code of its failure.
  static TFile Adopt(std::intptr_t handle, int error);

  bool IsOpen() const { return handle_ != -1; }
  // The system's code for the failed open or call (errno; Windows: GetLastError), 0 after success.
  int Error() const { return error_; }
  // Bytes read (0 at the end), -1 on failure.
  long long Read(void* buffer, size_t count);
  // Bytes read at offset, leaving the file's position alone; -1 on failure.
  long long ReadAt(void* buffer, size_t count, int64_t offset);
  bool Info(TFileInfo& info);
  // Up to count bytes from this file to out, both from where their positions stand, through
  // buffer (at least count bytes) or, while kernel is true, inside the kernel; kernel turns false
  // where the kernel refuses this pair of files. offset is where this file's position stands
  // (Windows reads there, so another thread may read the same handle at offsets of its own).
  // Fewer bytes only at the end of this file. -1 on failure.
  long long CopyTo(TFile& out, char* buffer, size_t count, int64_t offset, bool& kernel);
  // Starts the disk writing these bytes now rather than at the final Flush (POSIX only).
  void StartWriteBack(int64_t offset, int64_t count);
  bool SetModified(TFileTime when);
  bool SetMode(unsigned mode);
  // Forgets what the system holds of the file in its cache, so a read sees the disk (POSIX only).
  void DropCache();
  // A second handle on this file, for reading past the system's cache; not open where the file
  // system refuses. Its reads want buffers, offsets and counts aligned to UncachedAlignment.
  TFile OpenUncached() const;
  static constexpr size_t UncachedAlignment = 4096;
  // Whether a failed uncached read means "read through the cache instead".
  static bool UncachedReadRefused(int code);
  // Gives this open file a second name, path, that reaches it whatever is later put at its own
  // name (POSIX: a link to the descriptor; Windows: a copy of what it holds now).
  bool PinAt(const std::string& path);
  bool WriteAll(const void* data, size_t count);
  // Puts what was written on the disk (fsync; Windows: FlushFileBuffers).
  bool Flush();
  // False when the system reports a failure on closing (a write that did not reach the disk).
  bool Close();

 private:
  // CopyTo's bytes through buffer, from got on; ReadForCopy reads the next of them at offset
  // (POSIX: at the file's position, which stands there).
  long long CopyThrough(TFile& out, char* buffer, size_t count, int64_t offset, size_t got);
  long long ReadForCopy(void* buffer, size_t count, int64_t offset);

  std::intptr_t handle_ = -1;
  int error_ = 0;
};

// The system's code of the last failed call below.
int LastFileError();
// The system's codes for what the callers above platform/ tell apart.
enum class TFileError { Missing, IsFolder, Invalid, Io, NoMemory };
int FileErrorCode(TFileError which);
// Whether a failed open's code says the file (or its folder) does not exist.
bool MissingFileCode(int code);

// Renames from over to, replacing it; the rename is on the disk when this returns (Windows:
// MoveFileExW with write-through).
bool RenameReplacing(const std::string& from, const std::string& to);
// The same without making the folder's new entry durable: FlushFolder settles a batch at once.
// (Windows: write-through always.)
bool RenameOver(const std::string& from, const std::string& to);
// Makes the renames in folder durable; a file system that cannot flush a folder is let be.
void FlushFolder(const std::string& folder);
bool RemoveFile(const std::string& path);
// Creates one folder; mode (POSIX), when not -1, gives it exactly those permission bits whatever
// the umask, and it is never open to others before it has them.
bool MakeFolder(const std::string& path, int mode);
bool RemoveFolder(const std::string& path);
// A new folder below the temporary folder, that nobody but this account may enter.
bool MakePrivateTempFolder(const std::string& prefix, std::string& created);
// Sets the permission bits of path (Windows: read-only when the owner's write bit is off).
bool SetPathMode(const std::string& path, unsigned mode);
// Writes all of data to a descriptor (POSIX; Windows: the C library's), through interruptions
// and short writes; false with the system's code in err.
bool WriteToDescriptor(int fd, const char* data, size_t size, int& err);
// Free and total bytes of the file system holding folder.
bool FreeSpace(const std::string& folder, int64_t& freeBytes, int64_t& totalBytes);

// One name of a folder listing. Without details, info.kind alone is filled in, and only where
// the listing tells it by itself (Missing where it does not).
struct TListedName {
  std::string name;
  TFileInfo info;
  // Why a name that is there cannot be looked at (a dangling or looping link); info.kind Other.
  int infoErr = 0;
};
// The names of folder (not "." and "..") that wanted accepts, in the listing's order; with
// details, what each stands for (a link: what it leads to). False, with the system's code in
// err, when the folder cannot be listed.
bool ListFolder(const std::string& folder, const std::function<bool(const std::string&)>& wanted,
                bool details, std::vector<TListedName>& out, int& err);
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

// An exclusive lock named by a folder, waited for while another thread or process holds it and
// let go when this ends or its holder does, however it ends. Nothing is created in the folder,
// which another account may own (POSIX: flock on the folder itself; Windows: a named mutex, since
// a folder's handle takes no lock). Not held when the folder cannot be opened.
class TFolderLock {
 public:
  explicit TFolderLock(const std::string& folder);
  ~TFolderLock();
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;
  bool Held() const { return handle_ != -1; }

 private:
  std::intptr_t handle_ = -1;
};

}  // namespace tavik
