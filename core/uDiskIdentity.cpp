#include "core/uDiskIdentity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

#include "QorvLib/uQorvFiles.h"
#include "core/uRunOutput.h"
#include "notify/uNotifier.h"
#include "platform/uErrors.h"
#include "platform/uSafeFiles.h"

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

namespace {
[[noreturn]] void Refused(const std::string& fileName, const std::string& why) {
  throw EInOutError("Cannot read " + fileName + ": " + why);
}

// The file travels on a disk anyone may have held: a link is not followed (it could show a
// root-only file to the log and the mails), and nothing but a regular file is used (a FIFO's
// open or read would wait for ever).
int OpenIdentityFile(const std::string& fileName, int flags, const char* what) {
  std::string why;
  int err = 0;
  const int fd = OpenRegularFile(fileName, flags, why, err);
  if (fd < 0) throw EInOutError(std::string(what) + " " + fileName + ": " + why);
  return fd;
}
}  // namespace

std::string ReadDiskID(const std::string& fileName) {
  std::string text, why;
  int err = 0;
  // One more byte than the bound, to tell a first line that ends at the bound from a longer one.
  if (!ReadFileWithin(fileName, IdentityReadBound + 1, text, why, err)) Refused(fileName, why);
  const size_t got = text.size();
  const size_t end = text.find('\n');
  if (end == std::string::npos && got > IdentityReadBound)
    Refused(fileName, "its first line is longer than " + std::to_string(IdentityReadBound) + " bytes");
  std::string line = text.substr(0, std::min(end, got));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string FstabPath() {
  // Tests cannot edit the machine's table; they name one of their own.
  const char* test = std::getenv("TAVIK_FSTAB");
  return test && *test ? test : "/etc/fstab";
}

namespace {
// A mount point as fstab writes it: blanks and the like as octal escapes ("\040").
std::string UnescapeFstab(const std::string& field) {
  std::string r;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
        r += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    r += field[i];
  }
  return r;
}

// The mount points fstab lists, each in its canonical form where it exists.
std::vector<std::string> FstabMountPoints(const std::string& fstabPath) {
  std::vector<std::string> points;
  std::ifstream in(fstabPath);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string device, point;
    if (!(fields >> device >> point) || device[0] == '#') continue;
    point = UnescapeFstab(point);
    char resolved[PATH_MAX];
    points.push_back(::realpath(point.c_str(), resolved) ? resolved : point);
  }
  return points;
}
}  // namespace

bool BackupDiskPresent(const std::string& idPath, const std::string& fstabPath) {
  char resolved[PATH_MAX];
  if (idPath.empty() || !::realpath(idPath.c_str(), resolved) || !FolderExists(resolved)) return false;
  const std::vector<std::string> points = FstabMountPoints(fstabPath);
  // The folder itself or one above it may be where the disk is mounted; a listed mount point
  // on the same device as its parent has nothing mounted on it, so the folder is the system
  // disk's, whatever an earlier run may have created there.
  for (std::string folder = resolved; folder.size() > 1;
       folder = RemoveTrailingSeparator(ExtractFilePath(folder))) {
    if (std::find(points.begin(), points.end(), folder) == points.end()) continue;
    const std::string parent = ExtractFilePath(folder);
    struct stat self {
    }, above{};
    if (::stat(folder.c_str(), &self) != 0 || ::stat(parent.c_str(), &above) != 0) return false;
    if (self.st_dev == above.st_dev) return false;
  }
  return true;
}

std::string BackupDiskMissing(const std::string& idPath, bool systemDiskAllowed,
                              const std::string& fstabPath) {
  const std::string line = "Backup disk not found at " + RemoveTrailingSeparator(idPath);
  if (!BackupDiskPresent(idPath, fstabPath)) return line;
  if (systemDiskAllowed) return {};
  struct stat folder {
  }, root{}, id{};
  if (::lstat(IdentityFilePath(IncludeTrailingSeparator(idPath)).c_str(), &id) == 0) return {};
  if (::stat(idPath.c_str(), &folder) != 0 || ::stat("/", &root) != 0) return line;
  return folder.st_dev == root.st_dev ? line + ": it is on the system disk and holds no ID.txt" : "";
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
  const int fd = OpenIdentityFile(fileName, O_WRONLY | O_CREAT | O_TRUNC, "Cannot create");
  if (int err = 0; !WriteAll(fd, text.data(), text.size(), err)) {
    ::close(fd);
    FileFailure("Cannot write", fileName, err);
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
