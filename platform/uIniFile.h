#pragma once
// Private-profile ("ini") files with the reading and writing rules both settings files rely on:
// case-blind sections and keys, blanks trimmed, one enclosing pair of quotes dropped, values cut
// at 2047 characters, LF and CRLF alike; a write creates the file or appends a new section and
// leaves every other line as it was.
#include <string>
#include <utility>
#include <vector>

namespace tavik {

inline constexpr size_t ProfileValueMax = 2047;

std::string ReadProfileString(const std::string& file, const std::string& section, const std::string& key,
                              const std::string& defaultValue);

// The section and key of every key line, in file order (keys before any section have section "");
// empty when the file cannot be read.
std::vector<std::pair<std::string, std::string>> ProfileKeys(const std::string& file);

// The most of a settings file a write reads back; a longer one is no settings file.
inline constexpr size_t ProfileFileMax = 1024 * 1024;

// False, with the reason in why when given, when the file cannot be read back or written, is a
// symbolic link (never written through) or anything but a regular file, or when the value is
// longer than ProfileValueMax (it would read back cut short). The file is replaced by a complete
// new version in one rename, created under a name nobody can take first, so a crash never leaves
// half a settings file; an existing file keeps its owner, group and permissions (false, and the
// file unchanged, when the owner cannot be kept), and a new one is readable by its owner only.
bool WriteProfileString(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& value, std::string* why = nullptr);

}  // namespace tavik
