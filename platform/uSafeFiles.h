#pragma once
// Files in places another account can reach: a backup disk anyone may have held, the settings
// folder the service account owns, a metrics folder. What is read there is opened without
// following a link and without waiting, must be a regular file and is read within a bound;
// what is written there is created under a name nobody can take first.
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace tavik {

// Why a symbolic link is refused. What the system says of a link opened without following it
// ("Too many levels of symbolic links") would send an administrator looking for a loop.
inline constexpr const char* SymbolicLinkText = "it is a symbolic link, which is not followed";
inline constexpr const char* NotRegularText = "not a regular file";

// Opens path (flags: O_RDONLY, or O_WRONLY with O_CREAT and the like) without following a link
// and without waiting on a FIFO or a device. The descriptor of a regular file, or -1 with the
// reason in why and the system's error number in err (0 for a link or a file of another kind:
// ENOENT alone means the file is not there).
int OpenRegularFile(const std::string& path, int flags, std::string& why, int& err, mode_t mode = 0666);

// Up to limit bytes of the file, opened as OpenRegularFile opens it. False with why and err when
// it cannot be opened or read; a file longer than limit gives its first limit bytes.
bool ReadFileWithin(const std::string& path, size_t limit, std::string& content, std::string& why, int& err);

// Creates base + ".tmp-" + random letters, exclusively and never through a link, for writing;
// base is relative to the folder open as folderFd when one is given. The descriptor, with the
// name in created; -1 with err when no such file could be created.
int CreateUniqueFile(const std::string& base, mode_t mode, std::string& created, int& err, int folderFd = -1);

}  // namespace tavik
