#include "QorvLib/uQorvLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "QorvLib/uQorvFiles.h"
#include "platform/uErrors.h"
#include "platform/uLocale.h"
#include "platform/uSystem.h"

namespace tavik {

namespace {
const char* const HeaderText = "Log file created";
const char* const LeftOutSuffix = " left out here to keep the log below ";

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

// Why what stands at file is no file to open as the log (a link, a FIFO, a folder); empty when
// it is a regular file or nothing at all.
std::string NotARegularFile(const std::string& file) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) return "";
  if (S_ISLNK(st.st_mode)) return file + " is a link";
  if (!S_ISREG(st.st_mode)) return file + " is not a regular file";
  return "";
}

// OpenOwnLog; with noneOk, -1 when there is no file at all.
int OpenChecked(const std::string& file, int flags, bool noneOk) {
  // O_NONBLOCK: a FIFO put in the log's place must not hold the run at the open.
  const int fd = ::open(file.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int err = errno;
    if (err == ENOENT && noneOk) return -1;
    if (const std::string why = NotARegularFile(file); !why.empty()) throw EInOutError(why);
    RaiseIo(file, err);
  }
  struct stat st {};
  std::string why;
  if (::fstat(fd, &st) != 0)
    why = SysErrorMessage(errno) + ": " + file;
  else if (!S_ISREG(st.st_mode))
    why = file + " is not a regular file";
  else if (st.st_uid != ::geteuid())
    why = file + " belongs to user id " + std::to_string(st.st_uid) + ", not to this account";
  else if (st.st_nlink != 1)
    // A second name is how another account would hand over a file it cannot read itself.
    why = file + " has " + std::to_string(st.st_nlink) + " names (hard links)";
  if (!why.empty()) {
    ::close(fd);
    throw EInOutError(why);
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

// Writes all of text to fd; the error number of a failure, 0 when all went.
int WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// The whole of an open file.
std::string ReadAll(int fd, const std::string& file) {
  std::string r;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) RaiseIo(file, errno);
    if (n == 0) return r;
    r.append(buf, static_cast<size_t>(n));
  }
}

// One event is one line: a control character in a logged value (a file name holding a line
// break, say) is written escaped, or it would forge a line of its own.
std::string OneLine(const std::string& msg) {
  return EscapeControls(msg);
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
  int fd = OpenChecked(file, O_WRONLY | O_APPEND, true);
  std::string text;
  if (fd < 0) {
    fd = OpenChecked(file, O_WRONLY | O_APPEND | O_CREAT | O_EXCL, false);
    AppendEntry(text, 1, HeaderText);
  }
  // The entry's stamp is read after the header's.
  AppendEntry(text, kind, msg);
  int err = WriteAll(fd, text);
  struct stat st {};
  if (err == 0 && ::fstat(fd, &st) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) RaiseIo(file, err);
  return static_cast<int64_t>(st.st_size);
}

struct TLine {
  size_t at;         // where the line starts in the file
  std::string text;  // without its line break
};

std::vector<TLine> SplitLines(const std::string& content) {
  std::vector<TLine> lines;
  for (size_t pos = 0; pos < content.size();) {
    size_t e = content.find('\n', pos);
    if (e == std::string::npos) e = content.size();
    std::string text = content.substr(pos, e - pos);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    lines.push_back({pos, std::move(text)});
    pos = e + 1;
  }
  return lines;
}

// The message of a log line: what follows its stamp and its kind.
std::string MessageOf(const std::string& line) {
  const size_t tab = line.find('\t');
  const size_t kindTab = tab == std::string::npos ? tab : line.find('\t', tab + 1);
  return kindTab == std::string::npos ? std::string() : line.substr(kindTab + 1);
}

std::string LeftOutText(uint64_t count, int64_t bound) {
  const std::string size =
      bound % 1024 == 0 ? std::to_string(bound / 1024) + " KiB" : std::to_string(bound) + " bytes";
  return std::to_string(count) + (count == 1 ? " line" : " lines") + LeftOutSuffix + size;
}

// How many lines a line stands for when it is dropped: an earlier trim's line tells its own count.
uint64_t LinesOf(const std::string& line) {
  const std::string msg = MessageOf(line);
  uint64_t count = 0;
  const auto [end, ec] = std::from_chars(msg.data(), msg.data() + msg.size(), count);
  if (ec != std::errc() || end == msg.data()) return 1;
  const std::string rest(end, msg.data() + msg.size());
  for (const char* unit : {" line", " lines"})
    if (rest.rfind(std::string(unit) + LeftOutSuffix, 0) == 0) return count;
  return 1;
}

// The head's lines [first, last) when it is whole lines no larger than a quarter of the bound;
// none otherwise (a mark from before the file was replaced, say).
std::pair<size_t, size_t> HeadLines(const std::vector<TLine>& lines, const std::string& content,
                                    TLogHead head, int64_t bound) {
  const auto size = static_cast<int64_t>(content.size());
  if (head.begin < 0 || head.end <= head.begin || head.end > size || head.end - head.begin > bound / 4)
    return {0, 0};
  if ((head.begin > 0 && content[static_cast<size_t>(head.begin) - 1] != '\n') ||
      content[static_cast<size_t>(head.end) - 1] != '\n')
    return {0, 0};
  size_t first = 0;
  while (first < lines.size() && static_cast<int64_t>(lines[first].at) < head.begin) ++first;
  size_t last = first;
  while (last < lines.size() && static_cast<int64_t>(lines[last].at) < head.end) ++last;
  return {first, last};
}

// Replaces file by a new file holding text, with the old one's permissions: the old file is
// never cut, so nothing else that could stand at its name is either.
void ReplaceWith(const std::string& file, const std::string& text, mode_t mode) {
  std::string temp = file + ".trim-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) RaiseIo(file, errno);
  int err = ::fchmod(fd, mode) != 0 ? errno : 0;
  if (err == 0) err = WriteAll(fd, text);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), file.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    RaiseIo(file, err);
  }
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
    head_ = TrimLogFile(file, LogTrimBound, head_);
}

int64_t TQorvLogger::LogSizeNow() const {
  struct stat st {};
  if (logPath_.empty() || ::lstat((logPath_ + logFileName_).c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

void TQorvLogger::MarkRunStart() {
  std::lock_guard<std::recursive_mutex> guard(LogLock());
  head_.begin = head_.end = LogSizeNow();
}

void TQorvLogger::MarkHeadEnd() {
  std::lock_guard<std::recursive_mutex> guard(LogLock());
  head_.end = LogSizeNow();
}

TLogHead TQorvLogger::TrimLogFile(const std::string& file, int64_t bound, TLogHead head) {
  const int fd = OpenChecked(file, O_RDONLY, true);
  if (fd < 0) return {};
  struct stat st {};
  std::string content;
  try {
    if (::fstat(fd, &st) != 0) RaiseIo(file, errno);
    if (static_cast<int64_t>(st.st_size) <= bound) {
      ::close(fd);
      return head;
    }
    content = ReadAll(fd, file);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  const std::vector<TLine> lines = SplitLines(content);
  const auto [first, last] = HeadLines(lines, content, head, bound);
  std::string out;
  // The header stays wherever the run began: it tells when this log was started.
  const bool header = first > 0 && MessageOf(lines[0].text) == HeaderText;
  if (header) out += lines[0].text + "\r\n";
  for (size_t i = first; i < last; ++i) out += lines[i].text + "\r\n";
  const TLogHead kept{0, static_cast<int64_t>(out.size())};
  // Dropped: whatever came before the head, and the older half (plus one) of what follows it.
  uint64_t leftOut = 0;
  for (size_t i = header ? 1 : 0; i < first; ++i) leftOut += LinesOf(lines[i].text);
  const size_t drop = std::min(lines.size() - last, (lines.size() - last) / 2 + 1);
  for (size_t i = last; i < last + drop; ++i) leftOut += LinesOf(lines[i].text);
  AppendEntry(out, ecInfo, LeftOutText(leftOut, bound));
  for (size_t i = last + drop; i < lines.size(); ++i) out += lines[i].text + "\r\n";
  ReplaceWith(file, out, st.st_mode & 07777);
  return kept;
}

int OpenOwnLog(const std::string& file, int flags) {
  return OpenChecked(file, flags, false);
}

TLogAttachment::TLogAttachment(const std::string& logFile) {
  try {
    fd_ = OpenChecked(logFile, O_RDONLY, true);
    if (fd_ < 0) RaiseIo(logFile, ENOENT);
    std::string folder = TempFolderPath() + "tavik-log-XXXXXX";
    if (!::mkdtemp(folder.data())) RaiseIo(folder, errno);
    folder_ = folder;
    // The name the reader opens is a link to the descriptor checked above, in a folder nobody else
    // may enter: it reaches that file even when another is put at the log's name meanwhile.
    const std::string name = folder_ + PathDelim + ExtractFileName(logFile);
    if (::symlink(("/proc/self/fd/" + std::to_string(fd_)).c_str(), name.c_str()) != 0) RaiseIo(name, errno);
    path_ = name;
  } catch (const std::exception& e) {
    problem_ = e.what();
  }
}

TLogAttachment::~TLogAttachment() {
  if (!path_.empty()) ::unlink(path_.c_str());
  if (!folder_.empty()) ::rmdir(folder_.c_str());
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace tavik
