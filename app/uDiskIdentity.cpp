#include "app/uDiskIdentity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "QorvLib/uQorvFiles.h"
#include "app/uRunOutput.h"
#include "notify/uNotifier.h"
#include "platform/uErrors.h"

namespace tavik {

namespace {
struct TScheduleDay {
  std::string TNotifier::*id;
  bool TNotifier::*flag;
};

// Indexed like WeekdayIndex: Sunday first.
const TScheduleDay Schedule[7] = {
    {&TNotifier::SundayID, &TNotifier::IDDiskSun},    {&TNotifier::MondayID, &TNotifier::IDDiskMon},
    {&TNotifier::TuesdayID, &TNotifier::IDDiskTue},   {&TNotifier::WednesdayID, &TNotifier::IDDiskWed},
    {&TNotifier::ThursdayID, &TNotifier::IDDiskThur}, {&TNotifier::FridayID, &TNotifier::IDDiskFri},
    {&TNotifier::SaturdayID, &TNotifier::IDDiskSat},
};

const TScheduleDay& Day(int weekday) {
  return Schedule[((weekday % 7) + 7) % 7];
}

[[noreturn]] void FileFailure(const char* what, const std::string& fileName, int err) {
  throw EInOutError(std::string(what) + " " + fileName + ": " + SysErrorMessage(err));
}
}  // namespace

std::string IdentityFilePath(const std::string& idPath) {
  const std::string exact = idPath + IdentityFileName;
  if (FileExists(exact)) return exact;
  // A label written by hand on another system may differ in letter case only.
  for (const TFoundFile& f : ListFiles(exact)) return idPath + f.name;
  return exact;
}

std::string ReadDiskID(const std::string& fileName) {
  std::FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) FileFailure("Cannot read", fileName, errno);
  std::string line;
  int c;
  while ((c = std::fgetc(f)) != EOF && c != '\n') line += static_cast<char>(c);
  const bool failed = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (failed) FileFailure("Cannot read", fileName, err);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string LabelTimeText(TDateTime t) {
  const std::time_t tt = TClock::to_time_t(t);
  std::tm parts{};
  localtime_r(&tt, &parts);
  char date[128] = "", time[128] = "";
  std::strftime(date, sizeof date, "%x", &parts);
  const TLocalTime lt = ToLocal(t);
  if (lt.hour == 0 && lt.minute == 0 && lt.second == 0 && lt.msec == 0) return date;
  std::strftime(time, sizeof time, "%X", &parts);
  return std::string(date) + " " + time;
}

void WriteDiskID(const std::string& fileName, const std::string& id, TDateTime labelled) {
  const std::string text = id + "\r\n" + LabelTimeText(labelled) + "\r\n" + IdentityWarningLine + "\r\n";
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) FileFailure("Cannot create", fileName, errno);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : EIO;
      ::close(fd);
      FileFailure("Cannot write", fileName, err);
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) FileFailure("Cannot write", fileName, errno);
}

std::string ScheduledID(const TNotifier& n, int weekday) {
  return n.*Day(weekday).id;
}

bool CheckFlag(const TNotifier& n, int weekday) {
  return n.*Day(weekday).flag;
}

std::string NextDisk(const TNotifier& n, int weekday) {
  for (int ahead = 1; ahead <= 6; ++ahead)
    if (CheckFlag(n, weekday + ahead)) return ScheduledID(n, weekday + ahead);
  return "";
}

void CheckDiskIdentity(TRunOutput& out, const TNotifier& n, const std::string& idPath, TDateTime now,
                       TRunValues& values) {
  const int today = WeekdayIndex(now);
  const std::string fileName = IdentityFilePath(idPath);
  std::string found;
  if (!FileExists(fileName)) {
    values.expectedId = ScheduledID(n, today);
    WriteDiskID(fileName, values.expectedId, now);
  } else {
    found = ReadDiskID(fileName);
    if (found.empty()) {
      // The next run labels the disk afresh; a file that will not go away changes nothing now.
      ::unlink(fileName.c_str());
    } else {
      values.expectedId = ScheduledID(n, today);
      if (CheckFlag(n, today)) {
        out.LogLine("Checking Disk ID", false);
        if (SameText(found, values.expectedId)) {
          out.LogLine("Disk ID Check: OK", false);
        } else {
          out.LogLine("Disk ID INCORRRECT: ID = " + found + ", Should be: " + values.expectedId, false);
          values.diskMismatch = true;
        }
        values.nextDisk = NextDisk(n, today);
        if (!values.nextDisk.empty()) out.LogLine("Next Disk is: " + values.nextDisk, false);
      }
    }
  }
  values.foundId = found;
  out.LogLine("Disk ID " + found, false);
}

}  // namespace tavik
