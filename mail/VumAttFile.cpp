#include "mail/VumAttFile.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "QorvLib/uQorvFiles.h"
#include "platform/uErrors.h"
#include "platform/uFiles.h"
#include "platform/uSystem.h"

namespace tavik {

// ---------------------------------------------------------------------------------------------
// Pseudo-random numbers

namespace {
std::mutex gRandLock;
uint64_t gRandState = 0x9E3779B97F4A7C15ull;

uint64_t NextRandom() {
  // splitmix64: small, well mixed, good enough for names that only need to differ.
  uint64_t z = (gRandState += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
}  // namespace

void VumRandSeed(uint64_t seed) {
  std::lock_guard<std::mutex> g(gRandLock);
  gRandState = seed;
}

void VumRandomize() {
  // The real clock, not the pinnable one: pinned tests must still get distinct names.
  auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  VumRandSeed(static_cast<uint64_t>(ticks) ^ (static_cast<uint64_t>(CurrentThreadId()) << 40));
}

uint32_t VumRandom(uint32_t range) {
  std::lock_guard<std::mutex> g(gRandLock);
  return static_cast<uint32_t>((NextRandom() >> 32) % range);
}

std::string VumRandomHex8() {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", VumRandom(2147483647u));
  return buf;
}

// ---------------------------------------------------------------------------------------------
// Base64

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineChars = 76;
constexpr size_t kOutBuffer = 64 * 1024;

// Two output characters per 12 input bits: halves the table look-ups of the hot loop.
const std::array<char, 8192> kPairs = [] {
  std::array<char, 8192> t{};
  for (size_t i = 0; i < 4096; ++i) {
    t[2 * i] = kAlphabet[i >> 6];
    t[2 * i + 1] = kAlphabet[i & 63];
  }
  return t;
}();

// Encodes whole three-byte groups, four characters each.
inline void EncodeFullGroups(const unsigned char* s, size_t groups, char* o) {
  for (size_t i = 0; i < groups; ++i, s += 3, o += 4) {
    uint32_t v = (uint32_t(s[0]) << 16) | (uint32_t(s[1]) << 8) | s[2];
    std::memcpy(o, &kPairs[2 * (v >> 12)], 2);
    std::memcpy(o + 2, &kPairs[2 * (v & 0xFFF)], 2);
  }
}

// The padded form of the last one or two bytes; returns 0 or 4 characters written.
size_t EncodeTail(const unsigned char* s, size_t n, char* o) {
  if (n == 0) return 0;
  uint32_t v = uint32_t(s[0]) << 16;
  if (n > 1) v |= uint32_t(s[1]) << 8;
  o[0] = kAlphabet[(v >> 18) & 63];
  o[1] = kAlphabet[(v >> 12) & 63];
  o[2] = n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
  o[3] = '=';
  return 4;
}

[[noreturn]] void InvalidStreamOperation() {
  throw EStreamError("Invalid stream operation");
}

std::string FileError(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + SysErrorMessage(err);
}
}  // namespace

TBase64EncodingStream::TBase64EncodingStream(TByteSink& target)
    : target_(target), out_(new char[kOutBuffer]) {}

TBase64EncodingStream::~TBase64EncodingStream() {
  try {
    Finish();
  } catch (...) {
    // A destructor cannot report; callers that care call Finish themselves.
  }
}

void TBase64EncodingStream::Finish() {
  if (finished_) return;
  finished_ = true;
  char tail[4];
  size_t n = EncodeTail(pending_, static_cast<size_t>(total_ % 3), tail);
  if (n) target_.WriteBytes(tail, n);
}

size_t TBase64EncodingStream::Write(const void* buffer, size_t count) {
  auto p = static_cast<const unsigned char*>(buffer);
  size_t n = count;
  total_ += count;
  if (pendingCount_ > 0) {
    while (pendingCount_ < 3 && n > 0) {
      pending_[pendingCount_++] = *p++;
      --n;
    }
    if (pendingCount_ < 3) return count;
    EncodeGroups(pending_, 3);
    pendingCount_ = 0;
  }
  size_t whole = n / 3 * 3;
  EncodeGroups(p, whole);
  for (size_t i = whole; i < n; ++i) pending_[pendingCount_++] = p[i];
  return count;
}

void TBase64EncodingStream::EncodeGroups(const unsigned char* src, size_t bytes) {
  char* o = out_.get();
  size_t used = 0;
  while (bytes > 0) {
    size_t lineRoom = (kLineChars - characters_ % kLineChars) / 4;
    size_t groups = std::min(lineRoom, bytes / 3);
    if (used + groups * 4 + 2 > kOutBuffer) {
      target_.WriteBytes(o, used);
      used = 0;
    }
    EncodeFullGroups(src, groups, o + used);
    used += groups * 4;
    src += groups * 3;
    bytes -= groups * 3;
    characters_ += groups * 4;
    if (characters_ % kLineChars == 0) {
      o[used++] = '\r';
      o[used++] = '\n';
    }
  }
  if (used) target_.WriteBytes(o, used);
}

size_t TBase64EncodingStream::Read(void*, size_t) {
  InvalidStreamOperation();
}

int64_t TBase64EncodingStream::Seek(int64_t offset, TSeekOrigin origin) {
  auto chars = static_cast<int64_t>(characters_);
  if ((offset == 0 && (origin == soCurrent || origin == soEnd)) || (origin == soBeginning && offset == chars))
    return chars;
  InvalidStreamOperation();
}

std::string TBase64Codec::Encode(const std::string& text, bool lineBreaks) const {
  if (text.empty()) throw EQorvError("Invalid Base64 String - Length:" + std::to_string(text.size()));
  auto s = reinterpret_cast<const unsigned char*>(text.data());
  size_t groups = text.size() / 3;
  std::string flat((groups + 1) * 4, '\0');
  EncodeFullGroups(s, groups, flat.data());
  flat.resize(groups * 4 + EncodeTail(s + groups * 3, text.size() % 3, flat.data() + groups * 4));
  if (!lineBreaks || flat.size() <= kLineChars) return flat;
  std::string r;
  r.reserve(flat.size() + flat.size() / kLineChars * 2);
  for (size_t i = 0; i < flat.size(); i += kLineChars) {
    if (i) r += "\r\n";
    r.append(flat, i, kLineChars);
  }
  return r;
}

// ---------------------------------------------------------------------------------------------
// Quoted-printable

std::string TQPCodec::Encode(const std::vector<std::string>& lines) const {
  static const char kHex[] = "0123456789ABCDEF";
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    // Blanks are copied wherever they stand, also at the end of a line.
    std::string cur;
    for (char ch : line) {
      auto c = static_cast<unsigned char>(ch);
      bool plain = c == '\t' || (c >= 0x20 && c <= 0x3C) || (c >= 0x3E && c <= 0x7E);
      if (plain) {
        cur += static_cast<char>(c);
      } else {
        cur += '=';
        cur += kHex[c >> 4];
        cur += kHex[c & 15];
      }
      if (cur.size() > 70) {
        out.push_back(cur + "=");
        cur.clear();
      }
    }
    out.push_back(cur);
  }
  if (!out.empty() && out.back().empty()) out.pop_back();
  std::string r;
  for (size_t i = 0; i < out.size(); ++i) {
    if (i) r += "\r\n";
    r += out[i];
  }
  return r;
}

// ---------------------------------------------------------------------------------------------
// Content types

std::string LookupContentType(const std::string& path, const std::string& tablePath) {
  static const std::string kFallback = "application/octet-stream";
  std::string ext = ExtractFileExt(path);
  if (ext.size() < 2) return kFallback;
  ext = LowerCase(ext.substr(1));
  std::ifstream table(tablePath);
  std::string line;
  while (std::getline(table, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string type, word;
    if (!(words >> type)) continue;
    while (words >> word)
      if (LowerCase(word) == ext) return type;
  }
  // The system's table has no entry for logs, and a run log sent as octets opens in no reader.
  if (ext == "log") return "text/plain";
  return kFallback;
}

// ---------------------------------------------------------------------------------------------
// Attachments

TFileSink::~TFileSink() = default;

void TFileSink::WriteBytes(const char* data, size_t count) {
  if (!file_.WriteAll(data, count)) throw EInOutError(FileError("Cannot write", path_, file_.Error()));
}

void TFileSink::Close() {
  if (!file_.Close()) throw EInOutError(FileError("Cannot write", path_, file_.Error()));
}

namespace {
// Removes a temporary file on every way out.
struct TUnlinkGuard {
  std::string path;
  ~TUnlinkGuard() {
    if (!path.empty()) RemoveFile(path);
  }
};

size_t ReadBlock(TFile& f, char* buf, size_t size, const std::string& path) {
  size_t got = 0;
  while (got < size) {
    const long long r = f.Read(buf + got, size - got);
    if (r < 0) throw EInOutError(FileError("Cannot read", path, f.Error()));
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

// An attachment may be an image its writer still holds open: reading it must not be refused.
TFile OpenSource(const std::string& path) {
  TFile f = TFile::OpenRead(path, ShareRead | ShareWrite | ShareDelete);
  if (!f.IsOpen()) throw EInOutError(FileError("Cannot open", path, f.Error()));
  return f;
}

std::string ContentOf(const std::string& path) {
  TFile f = OpenSource(path);
  std::string r;
  char buf[65536];
  while (size_t n = ReadBlock(f, buf, sizeof buf, path)) r.append(buf, n);
  return r;
}

// Lines as a text file holds them: a final line break does not start another line.
std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t br = text.find("\r\n", pos);
    if (br == std::string::npos) br = text.size();
    lines.emplace_back(text, pos, br - pos);
    pos = br + 2;
  }
  return lines;
}
}  // namespace

TAttachedFile::TAttachedFile() : ThreadTag(std::to_string(CurrentThreadId())) {}

TAttachedFile::~TAttachedFile() = default;

std::string TAttachedFile::NewTempFileName(TFile& file) const {
  std::string folder = TempFolderPath();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = folder + ThreadTag + "-vum-b64e-" + VumRandomHex8() + ".$$$";
    // A new file only makes the existence check and the creation one step.
    file = TFile::CreateNew(name, ShareRead, 0600);
    if (file.IsOpen()) return name;
    if (FileExists(name)) continue;
    throw EInOutError(FileError("Cannot create", name, file.Error()));
  }
  throw EInOutError("Cannot create a temporary file in " + folder);
}

void TAttachedFile::Encode() {
  constexpr size_t kBlock = 1024;
  Cancel = false;
  const bool fromFile = Data.empty();
  TFile source;
  if (fromFile) source = OpenSource(FilePath);
  TFile tempFile;
  TUnlinkGuard temp{NewTempFileName(tempFile)};
  TFileSink sink(std::move(tempFile), temp.path);

  bool cancelled = false;
  std::string content;  // what was read from the file, kept for the next Encode
  size_t dataPos = 0;
  {
    TBase64EncodingStream encoder(sink);
    char buf[kBlock];
    for (;;) {
      if (Cancel) {
        cancelled = true;
        break;
      }
      size_t n;
      if (fromFile) {
        n = ReadBlock(source, buf, kBlock, FilePath);
        content.append(buf, n);
      } else {
        n = std::min(kBlock, Data.size() - dataPos);
        std::memcpy(buf, Data.data() + dataPos, n);
        dataPos += n;
      }
      encoder.Write(buf, n);
      if (OnBlock) OnBlock();
      if (n < kBlock) break;
    }
    encoder.Finish();
  }
  sink.Close();
  if (cancelled) return;
  EncodedLines = SplitCrLf(ContentOf(temp.path));
  if (fromFile) Data = std::move(content);
}

void TAttachedFile::LoadData() {
  Data = ContentOf(FilePath);
}

TAttachedFile& TAttachedFiles::Add(const std::string& filePath, const std::string& contentId) {
  auto item = std::make_unique<TAttachedFile>();
  item->Name = ExtractFileName(filePath);
  item->FilePath = filePath;
  item->ContentType = LookupContentType(filePath);
  item->ContentId = contentId;
  items_.push_back(std::move(item));
  return *items_.back();
}

std::string TAttachedFiles::LookupContentType(const std::string& path) const {
  return tavik::LookupContentType(path, MimeTypesPath);
}

}  // namespace tavik
