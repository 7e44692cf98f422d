#pragma once
// Light scrambling of the account fields in the notification settings file. It only keeps the
// values from being read at a glance; it is no protection, which is why that file is kept
// readable by its owner only.
#include <cstdint>
#include <string>

namespace tavik {

// Empty in, empty out. The result holds letters, digits, "+" and "/" only, so it survives a
// private-profile file unchanged.
std::string ScrambleText(const std::string& text, uint16_t key);
// Characters outside the alphabet count as 0 and a final lone character is ignored, so a value
// edited by hand gives other bytes, never an error.
std::string UnscrambleText(const std::string& text, uint16_t key);

// The text stage alone: three bytes to four characters, least significant bits first, no filler.
std::string EncodeScrambled(const std::string& bytes);
std::string DecodeScrambled(const std::string& text);

}  // namespace tavik
