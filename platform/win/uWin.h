#pragma once
// What the Windows side of the platform shares among its units: text is UTF-8 inside the
// program and UTF-16 at the system's calls.
#include <string>

namespace tavik::win {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
std::string Narrow(const wchar_t* utf16);
// The path as the file calls take it: backslashes, absolute, and in the \\?\ form (\\?\UNC\ for a
// share) when it is long enough that the old 260-character limit would cut it.
std::wstring FilePathW(const std::string& path);

}  // namespace tavik::win
