#pragma once
// The SHA256SUMS file of a destination folder: one "<64 hex>  <name>" line per image file of the
// chain on the disk, in name order, as sha256sum writes and checks it. Any machine can then
// check a disk that comes back from off-site without this program.
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tavik {

class TQorvFileCopier;
struct TRunOutput;

class TManifest {
 public:
  static constexpr const char* FileName = "SHA256SUMS";

  // The manifest of folder (with its trailing separator); a folder without one has none. False,
  // with the reason in why, when it is there but cannot be read or is refused: it comes from a
  // disk anyone may have held, so a link is not followed, nothing but a regular file is read (a
  // FIFO would hang the run that holds the lock) and no more than ReadBound(folder) bytes.
  bool Read(const std::string& folder, std::string& why);
  // The most a manifest of folder may hold: a line of a long name for each entry the folder
  // has, and room for a hand-written file besides.
  static size_t ReadBound(const std::string& folder);
  // Whether name can stand in a manifest line as sha256sum reads it.
  // Writes folder's manifest through a temporary file (a name the rotation removes like a
  // temporary copy), flushed and renamed over the old one, so a crash leaves the old manifest
  // or the new one, never half of either. Without entries the manifest is removed. Throws
  // EInOutError naming the file and the reason.
  void Write(const std::string& folder) const;
  // Whether name can stand in a manifest line as sha256sum reads it.
  static bool Listable(const std::string& name);
  // Whether a file of a destination is one of volume's images, incrementals or checksum files:
  // a destination belongs to one volume, and the sweep leaves only the chain's of these.
  static bool ChainFile(const std::string& name, const std::string& volume);

  std::map<std::string, std::string> Entries;  // file name -> hex SHA-256
  bool Found = false;                          // the last Read found a manifest
  // What the last Read could not use, each as "line <n>: <the line, escaped>": a line that is no
  // "<hex>  <name>", or a name leading out of the folder.
  std::vector<std::string> Unusable;
};

// Keeps a destination's manifest in step with the rotation of its volume: entries of files that
// are about to go are dropped before they go, new copies are entered as the copier hashes them,
// and when the volume ends (however it ends) the manifest is written if it changed and the files
// still without an entry are named in one log line. While it lives the copier hashes its copies.
class TManifestKeeper {
 public:
  // Without writes the manifest is read and checked as a run would, and never written.
  TManifestKeeper(TRunOutput& out, TQorvFileCopier& fc, const std::string& destFolder,
                  const std::string& volume, bool writes = true);
  ~TManifestKeeper();
  TManifestKeeper(const TManifestKeeper&) = delete;
  TManifestKeeper& operator=(const TManifestKeeper&) = delete;

  // The entries of paths are dropped and the manifest written before the files are deleted, so
  // a crash in between leaves a manifest that still passes for every file it lists.
  // which, when given, picks the paths that go.
  void Forget(const std::vector<std::string>& paths,
              const std::function<bool(const std::string&)>& which = {});

 private:
  void Save();

  TRunOutput& out_;
  TQorvFileCopier& fc_;
  std::string folder_;
  std::string volume_;
  TManifest manifest_;
  bool writes_;
  bool usable_ = false;
  bool dirty_ = false;
  bool hashCopies_;
  std::function<void(const std::string&, const std::string&)> onCopied_;
};

}  // namespace tavik
