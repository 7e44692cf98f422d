#include "core/uManifest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvFiles.h"
#include "core/uRunOutput.h"
#include "platform/uErrors.h"

namespace tavik {

namespace {

bool HexDigits(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string Lowered(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

bool TManifest::Listable(const std::string& name) {
  // sha256sum escapes these with a leading backslash; image names never hold them. A name with a
  // folder in it would lead a read or a repair out of the destination.
  return !name.empty() && name != "." && name != ".." && name.find_first_of("\\\n\r/") == std::string::npos;
}

bool TManifest::ChainFile(const std::string& name, const std::string& volume) {
  return MatchesMask(name, volume + "*.spf") || MatchesMask(name, "*.spi") || MatchesMask(name, "*.md5");
}

bool TManifest::Read(const std::string& folder, int& err) {
  Entries.clear();
  const std::string path = folder + FileName;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err = errno;
    if (err == ENOENT) return true;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "<hex>  <name>", or "<hex> *<name>" as sha256sum writes in binary mode.
    if (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*')) continue;
    const std::string hex = Lowered(line.substr(0, 64));
    const std::string name = line.substr(66);
    if (HexDigits(hex) && Listable(name)) Entries[name] = hex;
  }
  if (in.bad()) {
    err = EIO;
    return false;
  }
  return true;
}

void TManifest::Write(const std::string& folder) const {
  const std::string path = folder + FileName;
  auto fail = [&](int err) { throw EInOutError("Cannot write " + path + ": " + SysErrorMessage(err)); };
  if (Entries.empty()) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail(errno);
    return;
  }
  std::string text;
  for (const auto& [name, hex] : Entries) text += hex + "  " + name + "\n";
  const std::string temp = TQorvFileCopier::PartialPath(path);
  ::unlink(temp.c_str());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) fail(errno);
  if (int err = 0; !WriteAll(fd, text.data(), text.size(), err)) {
    ::close(fd);
    ::unlink(temp.c_str());
    fail(err);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    fail(err);
  }
  TQorvFileCopier::FlushFolder(folder);
}

TManifestKeeper::TManifestKeeper(TRunOutput& out, TQorvFileCopier& fc, const std::string& destFolder,
                                 const std::string& volume, bool writes)
    : out_(out),
      fc_(fc),
      folder_(destFolder),
      volume_(volume),
      writes_(writes),
      hashCopies_(fc.HashCopies),
      onCopied_(fc.OnCopied) {
  int err = 0;
  usable_ = manifest_.Read(folder_, err);
  // Rewriting a manifest that could not be read would lose its entries.
  if (!usable_)
    out_.LogLine("Cannot read " + folder_ + TManifest::FileName + ": " + SysErrorMessage(err) +
                     "; it is left as it is",
                 true);
  fc_.HashCopies = true;
  fc_.OnCopied = [this](const std::string& dest, const std::string& sha256) {
    const std::string name = ExtractFileName(dest);
    if (sha256.empty() || !TManifest::Listable(name)) return;
    manifest_.Entries[name] = sha256;
    dirty_ = true;
  };
}

void TManifestKeeper::Save() {
  if (!usable_ || !writes_) return;
  if (fc_.CheckDestination) fc_.CheckDestination();
  try {
    manifest_.Write(folder_);
    dirty_ = false;
  } catch (const EQorvError& e) {
    out_.LogLine(e.Message(), true);
  }
}

void TManifestKeeper::Forget(const std::vector<std::string>& paths,
                             const std::function<bool(const std::string&)>& which) {
  bool dropped = false;
  for (const std::string& p : paths)
    if (!which || which(p)) dropped = manifest_.Entries.erase(ExtractFileName(p)) > 0 || dropped;
  if (dropped) Save();
}

TManifestKeeper::~TManifestKeeper() {
  fc_.HashCopies = hashCopies_;
  fc_.OnCopied = onCopied_;
  try {
    if (fc_.CheckDestination) fc_.CheckDestination();
    int listErr = 0;
    const std::vector<TFoundFile> files = ListFiles(folder_ + "*", false, &listErr);
    if (listErr != 0) return;
    std::map<std::string, bool> onDisk;
    for (const TFoundFile& f : files)
      if (f.regular && TManifest::ChainFile(f.name, volume_)) onDisk[f.name] = true;
    for (auto it = manifest_.Entries.begin(); it != manifest_.Entries.end();) {
      if (onDisk.count(it->first)) {
        ++it;
      } else {
        it = manifest_.Entries.erase(it);
        dirty_ = true;
      }
    }
    if (dirty_) Save();
    if (!usable_) return;
    std::string missing;
    size_t count = 0;
    for (const auto& [name, _] : onDisk) {
      if (manifest_.Entries.count(name)) continue;
      missing += (count++ ? ", " : "") + name;
    }
    if (count > 0)
      out_.LogLine(std::to_string(count) + (count == 1 ? " file" : " files") + " in " + folder_ +
                       " without an entry in " + TManifest::FileName +
                       " (entered at the next --verify): " + missing,
                   false);
  } catch (...) {
    // A disk gone or a log that fails: the run reports that itself; a destructor stays quiet.
  }
}

}  // namespace tavik
