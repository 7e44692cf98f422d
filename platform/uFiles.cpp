#include "platform/uFiles.h"

#include "platform/uOs.h"

namespace tavik {

TFile::~TFile() {
  Close();
}

TFile::TFile(TFile&& other) noexcept : handle_(other.handle_), error_(other.error_) {
  other.handle_ = -1;
}

TFile& TFile::operator=(TFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    error_ = other.error_;
    other.handle_ = -1;
  }
  return *this;
}

int FileErrorCode(TFileError which) {
  return os::FileErrorCodes[static_cast<int>(which)];
}

long long TFile::CopyThrough(TFile& out, char* buffer, size_t count, int64_t offset, size_t got) {
  while (got < count) {
    const long long n = ReadForCopy(buffer + got, count - got, offset + static_cast<int64_t>(got));
    if (n < 0) return -1;
    if (n == 0) break;
    if (!out.WriteAll(buffer + got, static_cast<size_t>(n))) {
      error_ = out.error_;
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<long long>(got);
}

bool MissingFileCode(int code) {
  return os::MissingFileError(code);
}

bool ReadWholeFile(const std::string& path, std::string& content, bool* missing) {
  if (missing) *missing = false;
  // The imaging product may hold a file open for writing: reading it must not be refused for that.
  TFile f = TFile::OpenRead(path, ShareRead | ShareWrite | ShareDelete);
  if (!f.IsOpen()) {
    if (missing) *missing = os::MissingFileError(f.Error());
    return false;
  }
  content.clear();
  char buf[16384];
  for (;;) {
    const long long n = f.Read(buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) return true;
    content.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace tavik
