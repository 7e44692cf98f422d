#include "QorvLib/uQorvLogger.h"

#include <algorithm>
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
  TFileInfo info;
  if (!PathInfo(file, info, false)) return "";
  if (info.kind == TFileKind::Link) return file + " is a link";
  if (info.kind != TFileKind::Regular) return file + " is not a regular file";
  return "";
}

enum class TLogOpen { Read, Append, Create };

// The log opened as OpenOwnLog opens it; with noneOk, not open when there is no file at all.
// What was opened is described in info.
TFile OpenChecked(const std::string& file, TLogOpen how, bool noneOk, TFileInfo& info) {
  // Others may read the log while it is written, and rename it (the window keeps the previous
  // one under another name).
  const unsigned share = ShareRead | ShareWrite | ShareDelete;
  TFile f = how == TLogOpen::Read ? TFile::OpenRead(file, share, OpenNoFollow | OpenNoWait)
                                  : TFile::OpenAppend(file, share, how == TLogOpen::Create, 0644);
  if (!f.IsOpen()) {
    const int err = f.Error();
    if (MissingFileCode(err) && noneOk) return f;
    if (const std::string why = NotARegularFile(file); !why.empty()) throw EInOutError(why);
    RaiseIo(file, err);
  }
  std::string why;
  if (!f.Info(info))
    why = SysErrorMessage(f.Error()) + ": " + file;
  else if (info.kind == TFileKind::Link)
    why = file + " is a link";
  else if (info.kind != TFileKind::Regular)
    why = file + " is not a regular file";
  else if (!info.ownedByMe)
    why = file + " belongs to user id " + std::to_string(info.owner) + ", not to this account";
  else if (info.links != 1)
    // A second name is how another account would hand over a file it cannot read itself.
    why = file + " has " + std::to_string(info.links) + " names (hard links)";
  if (!why.empty()) throw EInOutError(why);
  return f;
}

// The whole of an open file.
std::string ReadAll(TFile& f, const std::string& file) {
  std::string r;
  char buf[65536];
  for (;;) {
    const long long n = f.Read(buf, sizeof buf);
    if (n < 0) RaiseIo(file, f.Error());
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
void ReplaceWith(const std::string& file, const std::string& text, unsigned mode) {
  std::string temp;
  TFile f = TFile::CreateUnique(file + ".trim", 0600, temp);
  if (!f.IsOpen()) RaiseIo(file, f.Error());
  int err = 0;
  if (!f.SetMode(mode) || !f.WriteAll(text.data(), text.size())) err = f.Error();
  if (!f.Close() && err == 0) err = f.Error();
  if (err == 0 && !RenameOver(temp, file)) err = LastFileError();
  if (err != 0) {
    RemoveFile(temp);
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
  std::string text;
  HoldOpen(file, text);
  // The entry's stamp is read after the header's.
  AppendEntry(text, static_cast<int>(Logcode), logMsg_);
  if (!held_.WriteAll(text.data(), text.size())) {
    const int err = held_.Error();
    held_.Close();
    RaiseIo(file, err);
  }
  if (heldInfo_.size + static_cast<int64_t>(text.size()) > LogTrimBound) {
    // The trim puts a new file at the name: the next entry opens that one, with every check.
    held_.Close();
    head_ = TrimLogFile(file, LogTrimBound, head_);
  }
}

void TQorvLogger::HoldOpen(const std::string& file, std::string& text) {
  if (held_.IsOpen() && file == heldName_) {
    // The one look an entry costs: a file renamed away, replaced or removed under the run is
    // left for whatever now stands at the name, which must pass every check.
    TFileInfo now;
    if (PathInfo(file, now, false) && now.SameFile(heldInfo_)) {
      heldInfo_.size = now.size;
      return;
    }
    held_.Close();
  }
  held_ = OpenChecked(file, TLogOpen::Append, true, heldInfo_);
  if (!held_.IsOpen()) {
    held_ = OpenChecked(file, TLogOpen::Create, false, heldInfo_);
    AppendEntry(text, 1, HeaderText);
  }
  heldName_ = file;
}

int64_t TQorvLogger::LogSizeNow() const {
  TFileInfo info;
  if (logPath_.empty() || !PathInfo(logPath_ + logFileName_, info, false)) return 0;
  return info.size;
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
  TFileInfo info;
  TFile f = OpenChecked(file, TLogOpen::Read, true, info);
  if (!f.IsOpen()) return {};
  if (info.size <= bound) return head;
  const std::string content = ReadAll(f, file);
  f.Close();
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
  ReplaceWith(file, out, info.mode);
  return kept;
}

TFile OpenOwnLog(const std::string& file) {
  TFileInfo info;
  return OpenChecked(file, TLogOpen::Read, true, info);
}

TLogAttachment::TLogAttachment(const std::string& logFile) {
  try {
    TFileInfo info;
    file_ = OpenChecked(logFile, TLogOpen::Read, true, info);
    if (!file_.IsOpen()) RaiseIo(logFile, FileErrorCode(TFileError::Missing));
    if (!MakePrivateTempFolder("tavik-log-", folder_))
      RaiseIo(TempFolderPath() + "tavik-log-", LastFileError());
    // The name the reader opens stands for the file checked above, in a folder nobody else may
    // enter: it reaches that file even when another is put at the log's name meanwhile.
    const std::string name = folder_ + PathDelim + ExtractFileName(logFile);
    if (!file_.PinAt(name)) RaiseIo(name, LastFileError());
    path_ = name;
  } catch (const std::exception& e) {
    problem_ = e.what();
  }
}

TLogAttachment::~TLogAttachment() {
  if (!path_.empty()) RemoveFile(path_);
  if (!folder_.empty()) RemoveFolder(folder_);
}

}  // namespace tavik
