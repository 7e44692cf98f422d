#include "QorvLib/uQorvLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <vector>

#include "QorvLib/uQorvFiles.h"
#include "platform/uErrors.h"
#include "platform/uLocale.h"

namespace tavik {

namespace {
// One lock for every logger of the process; re-entrant so a nested entry on the same thread
// (a debug hook that logs, say) cannot deadlock.
std::recursive_mutex& LogLock() {
  static std::recursive_mutex m;
  return m;
}

std::string Localised(std::string text) {
  char ds = LocaleDateSeparator(), ts = LocaleTimeSeparator();
  for (char& c : text) {
    if (c == '/')
      c = ds;
    else if (c == ':')
      c = ts;
  }
  return text;
}

[[noreturn]] void RaiseIo(const std::string& file, int err) {
  throw EInOutError(SysErrorMessage(err) + ": " + file);
}

// Writes text to file opened with mode ("ab" or "wb"); any failure, the close included, is
// raised with the system's reason.
void WriteWhole(const std::string& file, const char* mode, const std::string& text) {
  FILE* f = std::fopen(file.c_str(), mode);
  if (!f) RaiseIo(file, errno);
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  int err = errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) RaiseIo(file, err ? err : EIO);
}

// One event is one line: a control character in a logged value (a file name holding a line
// break, say) is written escaped, or it would forge a line of its own.
std::string OneLine(const std::string& msg) {
  std::string r;
  r.reserve(msg.size());
  for (char ch : msg) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      r += ch;
    } else if (c == '\n') {
      r += "\\n";
    } else if (c == '\r') {
      r += "\\r";
    } else if (c == '\t') {
      r += "\\t";
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      r += buf;
    }
  }
  return r;
}

// One line of the log: its stamp, its kind and the message.
void AppendEntry(std::string& text, int kind, const std::string& msg) {
  text.push_back('[');
  text.append(LogTimestamp()).append("]\t").append(std::to_string(kind)).append("\t");
  text.append(OneLine(msg)).append("\r\n");
}

// Appends one entry (after the header when the file is new) with one write, and gives the
// file's size after it: a run of thousands of files writes a line per step, so the entry costs
// an open, a write, a size look-up and a close, and no look-up of the path besides.
int64_t AppendOrCreate(const std::string& file, int kind, const std::string& msg) {
  int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  std::string text;
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) AppendEntry(text, 1, "Log file created");
  }
  if (fd < 0) RaiseIo(file, errno);
  // The entry's stamp is read after the header's.
  AppendEntry(text, kind, msg);
  int err = 0;
  for (size_t done = 0; done < text.size() && err == 0;) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      err = n < 0 ? errno : EIO;
    else
      done += static_cast<size_t>(n);
  }
  struct stat st {};
  if (err == 0 && ::fstat(fd, &st) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) RaiseIo(file, err);
  return static_cast<int64_t>(st.st_size);
}
}  // namespace

std::string LogTimestamp() {
  return Localised(FormatDateTime("dd/mm/yy hh:nn:ss.zzz", Now()));
}

TQorvLogger::TQorvLogger() {
  LogLock();
}

void TQorvLogger::SetLogPath(const std::string& v) {
  logPath_ = IncludeTrailingSeparator(v);
}

std::string LogFolderFor(bool common, const std::string& appFolder) {
  const std::string base = IncludeTrailingSeparator(
      SpecialFolderPath(common ? TSpecialFolder::CommonAppData : TSpecialFolder::UserAppData));
  return IncludeTrailingSeparator(base + "qorv" + PathDelim + appFolder);
}

std::string TQorvLogger::ConfigureLog(bool common, const std::string& appFolder,
                                      const std::string& fileName) {
  const std::string folder = LogFolderFor(common, appFolder);
  ForceFolders(folder);
  SetLogPath(folder);
  std::string name = ExtractFileName(fileName);
  if (name.empty()) name = DefaultLogFileName();
  logFileName_ = name;
  return logPath_ + logFileName_;
}

std::string TQorvLogger::DefaultLogFileName() const {
  return ExtractFileName(ExecutablePath()) + "-Log-" + LocalUserName() + "-" + LocalComputerName() + ".log";
}

void TQorvLogger::WriteLog(const std::string& msg) {
  if (!msg.empty()) logMsg_ = msg;
  if (logPath_.empty()) ConfigureLog(false, "qorv", "log.txt");
  if (logFileName_.empty()) logFileName_ = DefaultLogFileName();
  std::lock_guard<std::recursive_mutex> guard(LogLock());
  if (SystemDebugLevel == dlFull) {
    DebugOutput(Localised(FormatDateTime("hh:nn:ss:zzz ", Now())) +
                "ThId: " + std::to_string(CurrentThreadId()) + " - " + OneLine(logMsg_));
  }
  const std::string file = logPath_ + logFileName_;
  if (AppendOrCreate(file, static_cast<int>(Logcode), logMsg_) > LogTrimBound)
    TrimLogFile(file, LogTrimBound);
}

void TQorvLogger::TrimLogFile(const std::string& file, int64_t bound) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return;
  if (static_cast<int64_t>(st.st_size) <= bound) return;
  std::ifstream in(file, std::ios::binary);
  if (!in) RaiseIo(file, errno);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  in.close();
  size_t drop = lines.size() / 2 + 1;
  if (drop > lines.size()) drop = lines.size();
  std::string out;
  for (size_t i = drop; i < lines.size(); ++i) out += lines[i] + "\r\n";
  WriteWhole(file, "wb", out);
}

}  // namespace tavik
