#include "QorvLib/uQorvCrypt.h"

namespace tavik {

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint16_t Multiplier = 38713;
constexpr uint16_t Addend = 21587;

unsigned DigitOf(char ch) {
  if (ch >= 'A' && ch <= 'Z') return static_cast<unsigned>(ch - 'A');
  if (ch >= 'a' && ch <= 'z') return static_cast<unsigned>(ch - 'a') + 26;
  if (ch >= '0' && ch <= '9') return static_cast<unsigned>(ch - '0') + 52;
  if (ch == '+') return 62;
  if (ch == '/') return 63;
  return 0;
}

// Both directions feed the scrambled byte back into the key, so one loop serves both; only which
// side of the XOR is the scrambled byte differs.
std::string KeyStream(const std::string& in, uint16_t key, bool scrambling) {
  std::string out(in.size(), '\0');
  uint32_t k = key;
  for (size_t i = 0; i < in.size(); ++i) {
    const auto inByte = static_cast<unsigned char>(in[i]);
    const auto outByte = static_cast<unsigned char>(inByte ^ (k >> 8));
    out[i] = static_cast<char>(outByte);
    const unsigned scrambled = scrambling ? outByte : inByte;
    k = ((k + scrambled) * Multiplier + Addend) & 0xFFFFu;
  }
  return out;
}

}  // namespace

std::string EncodeScrambled(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    uint32_t v = 0;
    for (size_t j = 0; j < n; ++j)
      v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + j])) << (8 * j);
    for (size_t j = 0; j <= n; ++j) out += Alphabet[(v >> (6 * j)) & 63];
  }
  return out;
}

std::string DecodeScrambled(const std::string& text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  for (size_t i = 0; i < text.size(); i += 4) {
    const size_t n = text.size() - i < 4 ? text.size() - i : 4;
    uint32_t v = 0;
    for (size_t j = 0; j < n; ++j) v |= DigitOf(text[i + j]) << (6 * j);
    for (size_t j = 0; j + 1 < n; ++j) out += static_cast<char>((v >> (8 * j)) & 0xFF);
  }
  return out;
}

std::string ScrambleText(const std::string& text, uint16_t key) {
  return EncodeScrambled(KeyStream(text, key, true));
}

std::string UnscrambleText(const std::string& text, uint16_t key) {
  return KeyStream(DecodeScrambled(text), key, false);
}

}  // namespace tavik
