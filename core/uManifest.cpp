#include "core/uManifest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvFiles.h"
#include "core/uRunOutput.h"
#include "platform/uErrors.h"
#include "platform/uSafeFiles.h"
#include "platform/uSystem.h"

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

size_t TManifest::ReadBound(const std::string& folder) {
  // sha256sum's longest line: 64 digits, two blanks, a name of up to 255 bytes, its line end.
  constexpr size_t LongestLine = 64 + 2 + 255 + 2;
  return 64 * 1024 + LongestLine * ListFiles(folder + "*", false).size();
}

bool TManifest::Read(const std::string& folder, std::string& why) {
  Entries.clear();
  Unusable.clear();
  Found = false;
  const std::string path = folder + FileName;
  const size_t bound = ReadBound(folder);
  std::string text;
  int err = 0;
  if (!ReadFileWithin(path, bound + 1, text, why, err)) return err == ENOENT;
  if (text.size() > bound) {
    why = "it is longer than " + std::to_string(bound) + " bytes, more than the folder's files can fill";
    return false;
  }
  Found = true;
  size_t number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "<hex>  <name>", or "<hex> *<name>" as sha256sum writes in binary mode.
    const bool shaped = line.size() >= 67 && line[64] == ' ' && (line[65] == ' ' || line[65] == '*');
    const std::string hex = shaped ? Lowered(line.substr(0, 64)) : "";
    const std::string name = shaped ? line.substr(66) : "";
    if (shaped && HexDigits(hex) && Listable(name))
      Entries[name] = hex;
    else if (!Trim(line).empty())
      Unusable.push_back("line " + std::to_string(number) + ": " + EscapeControls(line));
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
  std::string why;
  usable_ = manifest_.Read(folder_, why);
  // Rewriting a manifest that could not be read would lose its entries.
  if (!usable_)
    out_.LogLine("Cannot read " + folder_ + TManifest::FileName + ": " + why + "; it is left as it is", true);
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
