#include <gtest/gtest.h>

#include "QorvLib/uQorvCrypt.h"

namespace tavik {
namespace {

struct TEncodeCase {
  std::string clear;
  std::string encoded;
};

// The text stage alone: least significant bits first, unlike standard base64, and no filler.
TEST(QorvCrypt, TextStageEncodesAndDecodesLeastSignificantFirst) {
  const TEncodeCase cases[] = {{"abc", "hJ2Y"}, {"ab", "hJG"}, {"a", "hB"}, {"abcd", "hJ2YkB"}, {"", ""}};
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeScrambled(c.clear), c.encoded) << c.clear;
    EXPECT_EQ(DecodeScrambled(c.encoded), c.clear) << c.encoded;
  }
}

TEST(QorvCrypt, DecodingCountsForeignCharactersAsZero) {
  // "h" is 33: with a zero second digit the byte is 33, "!".
  EXPECT_EQ(DecodeScrambled("h="), "!");
  EXPECT_EQ(DecodeScrambled("h\""), DecodeScrambled("hA"));
}

struct TScrambleCase {
  std::string clear;
  uint16_t key;
  std::string scrambled;
};

// Expected values worked out independently of this code, from the key stream
// c = p xor hi(k), k = ((k + c) * 38713 + 21587) mod 65536, then the text stage.
TEST(QorvCrypt, ScramblesWithTheKeyStream) {
  const TScrambleCase cases[] = {
      {"a", 414, "gB"},         {"abc", 414, "gVv9"},    {"mail", 414, "s9syVB"},
      {"user", 5439, "g5JKZC"}, {"pw\xe9", 431, "xp9Z"}, {"abc", 0, "hJcl"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScrambleText(c.clear, c.key), c.scrambled) << c.clear << " key " << c.key;
    EXPECT_EQ(UnscrambleText(c.scrambled, c.key), c.clear) << c.scrambled << " key " << c.key;
  }
}

TEST(QorvCrypt, EmptyInEmptyOut) {
  EXPECT_EQ(ScrambleText("", 414), "");
  EXPECT_EQ(UnscrambleText("", 414), "");
}

TEST(QorvCrypt, RoundTripsEveryLengthAndByteWithOnlySafeCharacters) {
  const uint16_t keys[] = {414, 5439, 431, 0, 65535};
  for (uint16_t key : keys) {
    for (size_t len = 1; len <= 300; ++len) {
      std::string clear(len, '\0');
      for (size_t i = 0; i < len; ++i) clear[i] = static_cast<char>((i * 37 + len * 11 + key) & 0xFF);
      const std::string scrambled = ScrambleText(clear, key);
      ASSERT_EQ(scrambled.size(), len / 3 * 4 + (len % 3 == 0 ? 0 : len % 3 + 1)) << "len " << len;
      ASSERT_EQ(
          scrambled.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
          std::string::npos)
          << scrambled;
      ASSERT_EQ(UnscrambleText(scrambled, key), clear) << "len " << len << " key " << key;
    }
  }
}

TEST(QorvCrypt, UnscrambleIgnoresAFinalLoneCharacter) {
  EXPECT_EQ(UnscrambleText("gVv9"
                           "z",
                           414),
            "abc");
  EXPECT_EQ(UnscrambleText("Q", 414), "");
  const std::string six = "secret";
  EXPECT_EQ(UnscrambleText(ScrambleText(six, 431) + "/", 431), six);
}

TEST(QorvCrypt, AnotherKeyGivesOtherBytesWithoutError) {
  const std::string scrambled = ScrambleText("secret", 431);
  const std::string wrong = UnscrambleText(scrambled, 414);
  EXPECT_EQ(wrong.size(), 6u);
  EXPECT_NE(wrong, "secret");
}

}  // namespace
}  // namespace tavik
