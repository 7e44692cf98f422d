#pragma once
// What the operating system tells about itself: folders, names, the program's path.
#include <string>

namespace tavik {

// The separator that the original wrote as a backslash.
inline constexpr char PathDelim = '/';

enum class TSpecialFolder { UserAppData, CommonAppData };

// All-users data: $PROGRAMDATA, else /var/lib. Per-user data: $XDG_DATA_HOME, else $HOME/.local/share.
// No trailing separator; empty when nothing can be found.
std::string SpecialFolderOs(TSpecialFolder which);
std::string LoginUserName();     // effective user's login name, may be empty
std::string HostComputerName();  // gethostname, may be empty
std::string ExecutablePath();    // /proc/self/exe
std::string TempFolderPath();    // $TMPDIR or /tmp, with trailing separator
unsigned long CurrentThreadId();
void DebugOutput(const std::string& text);  // standard error
// Hands the address to the desktop's default handler; false when that could not be started.
bool OpenWithDefaultHandler(const std::string& address);
// Makes an absolute, lexically normal path of a relative one (no link resolution).
std::string ExpandFileName(const std::string& path);

}  // namespace tavik
