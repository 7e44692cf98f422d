#pragma once
// Content encoders of the mail transport and the files attached to a message.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "platform/uFiles.h"

namespace tavik {

// The process's pseudo-random generator behind boundaries, Message-IDs and temporary names.
// Every new message reseeds it from the clock.
void VumRandomize();
void VumRandSeed(uint64_t seed);
// A number from 0 to range - 1 (range > 0).
uint32_t VumRandom(uint32_t range);
// Eight upper-case hexadecimal digits of a number from 0 to 2147483646.
std::string VumRandomHex8();

// Where encoded characters go. Failures are thrown by the sink.
class TByteSink {
 public:
  virtual ~TByteSink() = default;
  virtual void WriteBytes(const char* data, size_t count) = 0;
};

class TStringSink : public TByteSink {
 public:
  void WriteBytes(const char* data, size_t count) override { Data.append(data, count); }
  std::string Data;
};

// Writes straight to an open file (the encoder buffers already); owns and closes it.
class TFileSink : public TByteSink {
 public:
  TFileSink(TFile file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  ~TFileSink() override;
  TFileSink(const TFileSink&) = delete;
  TFileSink& operator=(const TFileSink&) = delete;
  void WriteBytes(const char* data, size_t count) override;
  // Closes the file and reports a failure of the close itself.
  void Close();

 private:
  TFile file_;
  std::string path_;
};

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

// Base64-encodes whatever is written into the target in lines of 76 characters.
class TBase64EncodingStream {
 public:
  explicit TBase64EncodingStream(TByteSink& target);
  // Writes the final padded group unless Finish already did (errors of the target are lost here).
  ~TBase64EncodingStream();
  TBase64EncodingStream(const TBase64EncodingStream&) = delete;
  TBase64EncodingStream& operator=(const TBase64EncodingStream&) = delete;

  // A failure of the target reaches the caller as the target's own exception.
  size_t Write(const void* buffer, size_t count);
  [[noreturn]] size_t Read(void* buffer, size_t count);
  int64_t Seek(int64_t offset, TSeekOrigin origin);
  // Writes the final padded group now, so that a failure of the target can be seen.
  void Finish();

 private:
  void EncodeGroups(const unsigned char* src, size_t bytes);

  TByteSink& target_;
  unsigned char pending_[3] = {0, 0, 0};
  size_t pendingCount_ = 0;
  uint64_t total_ = 0;
  uint64_t characters_ = 0;
  bool finished_ = false;
  std::unique_ptr<char[]> out_;
};

class TBase64Codec {
 public:
  std::string Encode(const std::string& text, bool lineBreaks) const;
};

class TQPCodec {
 public:
  std::string Encode(const std::vector<std::string>& lines) const;
};

// The table consulted by LookupContentType when no other is given.
inline constexpr const char* DefaultMimeTypesPath = "/etc/mime.types";

// The MIME type that a "type ext ext..." table gives the path's extension;
// "application/octet-stream" when the table, the extension or its entry is missing.
std::string LookupContentType(const std::string& path, const std::string& tablePath = DefaultMimeTypesPath);

class TAttachedFile {
 public:
  TAttachedFile();
  ~TAttachedFile();
  TAttachedFile(const TAttachedFile&) = delete;
  TAttachedFile& operator=(const TAttachedFile&) = delete;

  // Fills EncodedLines from Data, or from the file at FilePath when Data is empty.
  void Encode();
  // Replaces Data by the whole file at FilePath, unencoded.
  void LoadData();

  std::string Name;
  std::string ContentId;
  std::string FilePath;
  std::vector<std::string> EncodedLines;
  std::string Data;
  std::string ContentType;
  std::atomic<bool> Cancel{false};
  bool Inline = false;
  std::string ThreadTag;
  // Called after every block of the source has been encoded; a caller may set Cancel from here.
  std::function<void()> OnBlock;

 private:
  std::string NewTempFileName(TFile& file) const;
};

class TAttachedFiles {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TAttachedFile& Items(int index) { return *items_.at(static_cast<size_t>(index)); }
  const TAttachedFile& Items(int index) const { return *items_.at(static_cast<size_t>(index)); }
  TAttachedFile& Add(const std::string& filePath, const std::string& contentId = "");
  std::string LookupContentType(const std::string& path) const;
  void Clear() { items_.clear(); }

  // Tests point this at a table of their own.
  std::string MimeTypesPath = DefaultMimeTypesPath;

 private:
  std::vector<std::unique_ptr<TAttachedFile>> items_;
};

}  // namespace tavik
