#pragma once
// The run log: one timestamped line per entry, the file opened and closed for each entry,
// kept below 240 KiB by dropping its older half.
#include <cstdint>
#include <string>

namespace tavik {

enum TErrorCode : uint8_t { ecUnknown = 0, ecInfo = 1, ecWarning = 2, ecError = 3 };
enum TDebugLevel : uint8_t { dlUnknown = 0, dlBasic = 1, dlStandard = 2, dlFull = 3 };

inline constexpr int64_t LogTrimBound = 245760;

class TQorvLogger {
 public:
  TQorvLogger();
  TQorvLogger(const TQorvLogger&) = delete;
  TQorvLogger& operator=(const TQorvLogger&) = delete;

  std::string ConfigureLog(bool common, const std::string& appFolder, const std::string& fileName);
  void WriteLog(const std::string& msg);
  std::string DefaultLogFileName() const;
  static void TrimLogFile(const std::string& file, int64_t bound);

  const std::string& LogFileName() const { return logFileName_; }
  void SetLogFileName(const std::string& v) { logFileName_ = v; }
  const std::string& LogMsg() const { return logMsg_; }
  void SetLogMsg(const std::string& v) { logMsg_ = v; }
  const std::string& LogPath() const { return logPath_; }
  void SetLogPath(const std::string& v);

  TErrorCode Logcode = ecUnknown;
  TDebugLevel SystemDebugLevel = dlStandard;

 private:
  std::string logFileName_;
  std::string logMsg_;
  std::string logPath_;
};

// The folder ConfigureLog puts the log in, with its trailing separator; creates nothing.
std::string LogFolderFor(bool common, const std::string& appFolder);

// "dd/mm/yy hh:nn:ss.zzz" with the locale's separators, as every log line is stamped.
std::string LogTimestamp();

}  // namespace tavik
