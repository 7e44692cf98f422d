#pragma once
// Small shared routines: paths, folders, the folder walk, dates, names and message boxes.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/uClock.h"
#include "platform/uSystem.h"

namespace tavik {

std::string RightText(const std::string& s, size_t n);
std::string IncludeTrailingSeparator(const std::string& path);
std::string RemoveTrailingSeparator(const std::string& path);
bool FolderExists(const std::string& path);
// Free space of the file system holding folder; false (errno telling why) when it cannot be asked.
bool DiskSpace(const std::string& folder, int64_t& freeBytes, int64_t& totalBytes);
bool FileExists(const std::string& path);  // an existing entry that is not a folder
// Creates path and its missing parents; mode, when not -1, gives each created folder exactly
// those permission bits whatever the umask.
bool ForceFolders(const std::string& path, int mode = -1);
// Writes all of data to fd, through interruptions and short writes; false with the reason in err.
bool WriteAll(int fd, const char* data, size_t size, int& err);
// The bits of folder like plus the owner's write and search, so whoever creates a folder after
// it can always fill it; -1 when like cannot be looked at.
int CreatedFolderMode(const std::string& like);
int64_t TextToInt64(const std::string& text);
double TextToFloatOr0(const std::string& text);

std::string ExtractFileName(const std::string& path);
std::string ExtractFilePath(const std::string& path);  // with its trailing separator; empty without folder
std::string ChangeFileExt(const std::string& path, const std::string& ext);
std::string ExtractFileExt(const std::string& path);  // with the dot; empty without one
std::string LowerCase(std::string s);                 // ASCII letters only
bool SameText(const std::string& a, const std::string& b);
int CompareText(const std::string& a, const std::string& b);  // ASCII letters compared case-blind
std::string Trim(const std::string& s);                       // characters up to 32 on both ends
// Splits a list value into its entries: blanks and commas separate, double quotes keep an entry
// whole (two in a row stand for one), a comma at the very end adds an empty entry. The job's
// folder lists and the mail recipient lists are read alike.
std::vector<std::string> SplitList(const std::string& value);

// Case-blind "*" and "?" match of a whole file name.
bool MatchesMask(const std::string& name, const std::string& pattern);

enum TFileAttr : unsigned {
  faReadOnly = 1,
  faHidden = 2,
  faSysFile = 4,
  faDirectory = 16,
  faArchive = 32,
  faAnyFile = 0xFF
};

// Appends to files the matches of mask (a folder part and a name pattern); see the support notes.
// files must not be null: a missing list is a programming error.
bool FindFiles(const std::string& mask, std::vector<std::string>* files, unsigned attrs, bool recurse);

struct TFoundFile {
  std::string name;  // file name only
  int64_t mtimeSec;  // last write, seconds since the epoch
  int64_t size;
  bool regular = true;  // false for a FIFO, a device or a socket
  int statErr = 0;      // why an entry that is there cannot be examined (a dangling link); not regular
};
// The files (never folders) matching mask in the folder listing's order. Without times,
// mtimeSec and size are 0 wherever the listing itself tells a file from a folder: a folder of
// thousands of names is then read without a look-up per name. listErr, when given, receives
// why the folder could not be listed (0 when it was).
std::vector<TFoundFile> ListFiles(const std::string& mask, bool withTimes = true, int* listErr = nullptr);

int WeekdayIndex(TDateTime t);
// "dd", "mm"/"MM" (minutes right after an hour), "yyyy", "yy", "hh"/"HH", "nn", "ss"/"SS", "zzz".
std::string FormatDateTime(const std::string& pattern, TDateTime t);

std::string SpecialFolderPath(TSpecialFolder which);
std::string UserAppDataFolder();
std::string LocalComputerName();
std::string LocalUserName();
void OpenUrl(const std::string& address);
void ShowInfo(const std::string& text);
[[noreturn]] void WarnAndAbort(const std::string& text);

}  // namespace tavik
