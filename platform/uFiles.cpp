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
