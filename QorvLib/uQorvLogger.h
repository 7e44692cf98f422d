#pragma once
// The run log: one timestamped line per entry, written with one write as it is logged, kept
// below 240 KiB by a trim that keeps the run's first lines and the newer half of the rest. The
// log is only ever this account's own regular file: a link, a FIFO or a file another account put
// in its place is refused, never written, cut or read. The file stays open between entries; each
// entry looks once that the log's name still leads to it, and what leads elsewhere is opened
// afresh with every check.
#include <cstdint>
#include <string>

#include "platform/uFiles.h"

namespace tavik {

enum TErrorCode : uint8_t { ecUnknown = 0, ecInfo = 1, ecWarning = 2, ecError = 3 };
enum TDebugLevel : uint8_t { dlUnknown = 0, dlBasic = 1, dlStandard = 2, dlFull = 3 };

inline constexpr int64_t LogTrimBound = 245760;

// The lines a trim keeps at the log's start: the bytes from begin up to end (both at line starts).
struct TLogHead {
  int64_t begin = 0;
  int64_t end = 0;
};

class TQorvLogger {
 public:
  TQorvLogger();
  TQorvLogger(const TQorvLogger&) = delete;
  TQorvLogger& operator=(const TQorvLogger&) = delete;

  // A log folder that cannot be created is not raised here: the first entry raises it.
  std::string ConfigureLog(bool common, const std::string& appFolder, const std::string& fileName);
  void WriteLog(const std::string& msg);
  std::string DefaultLogFileName() const;
  // Above bound, rewrites the file through a new file renamed into place: the header line, the
  // head's lines, one line telling how many lines were left out (counting those an earlier trim
  // left out), and the newer half of the lines after the head. Gives the kept part's place in
  // the new file. A head that is not at line starts, or above a quarter of the bound, keeps nothing.
  static TLogHead TrimLogFile(const std::string& file, int64_t bound, TLogHead head = {});

  // The run's own first lines, which a trim keeps: from the log's end when the run starts to its
  // end once the disk check is done.
  void MarkRunStart();
  void MarkHeadEnd();

  const std::string& LogFileName() const { return logFileName_; }
  void SetLogFileName(const std::string& v) { logFileName_ = v; }
  const std::string& LogMsg() const { return logMsg_; }
  void SetLogMsg(const std::string& v) { logMsg_ = v; }
  const std::string& LogPath() const { return logPath_; }
  void SetLogPath(const std::string& v);

  TErrorCode Logcode = ecUnknown;
  TDebugLevel SystemDebugLevel = dlStandard;

 private:
  int64_t LogSizeNow() const;
  // The log at file, open for appending: the one held when the name still leads to it, else
  // opened with every check (a new log gets its header line in text).
  void HoldOpen(const std::string& file, std::string& text);

  TFile held_;
  std::string heldName_;
  TFileInfo heldInfo_;
  std::string logFileName_;
  std::string logMsg_;
  std::string logPath_;
  TLogHead head_;
};

// Opens the run log as itself for reading: no link is followed, a FIFO cannot block, and
// anything but a regular file of this account with one name is refused with the reason (an
// EInOutError), before a byte is read. Not open when there is no log.
TFile OpenOwnLog(const std::string& file);

// The run log as a mail attaches it or a ping quotes it: a name in a folder of this account
// alone that stands for the log as it was checked when this object was made, whatever is put
// in the log's place afterwards. Removed with this object.
class TLogAttachment {
 public:
  explicit TLogAttachment(const std::string& logFile);
  ~TLogAttachment();
  TLogAttachment(const TLogAttachment&) = delete;
  TLogAttachment& operator=(const TLogAttachment&) = delete;
  // Empty when the log is missing or refused; Problem() then says why.
  const std::string& Path() const { return path_; }
  const std::string& Problem() const { return problem_; }

 private:
  TFile file_;
  std::string folder_;
  std::string path_;
  std::string problem_;
};

// The folder ConfigureLog puts the log in, with its trailing separator; creates nothing.
std::string LogFolderFor(bool common, const std::string& appFolder);

// "dd/mm/yy hh:nn:ss.zzz" with the locale's separators, as every log line is stamped.
std::string LogTimestamp();

}  // namespace tavik
