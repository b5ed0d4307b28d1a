#include "config/credential.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace norvane {
namespace {

std::string Encrypt(std::string_view clear) {
  std::string stored;
  EXPECT_TRUE(EncryptPassword(clear, stored));
  return stored;
}

TEST(CredentialTest, RoundTripsAndStoresUpperCaseHex) {
  for (const std::string& clear :
       std::vector<std::string>{"a", "Secret-123", "密码口令", std::string(31, 'x')}) {
    std::string stored = Encrypt(clear);
    EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos) << stored;
    std::string text = stored;
    ASSERT_TRUE(DecryptPassword(text)) << clear;
    EXPECT_EQ(text, clear);
  }
}

TEST(CredentialTest, ThirtyOneBytesFitTheStoredField) {
  // 12-byte nonce + 31 bytes and NUL + 16-byte tag: 60 bytes, 120 hex digits.
  std::string stored = Encrypt(std::string(31, 'p'));
  EXPECT_EQ(stored.size(), 120u);
  EXPECT_LE(stored.size(), 127u);
}

TEST(CredentialTest, LongerClearTextIsCutToTheRecordLimitAtACharacterBoundary) {
  // 10 three-byte characters + "ab" = 32 bytes; the cut at 31 must not split a character.
  std::string clear = std::string("密码口令密码口令密码") + "ab";
  std::string text = Encrypt(clear);
  ASSERT_TRUE(DecryptPassword(text));
  EXPECT_EQ(text, std::string("密码口令密码口令密码") + "a");
  std::string long_ascii = Encrypt(std::string(100, 'z'));
  ASSERT_TRUE(DecryptPassword(long_ascii));
  EXPECT_EQ(long_ascii, std::string(31, 'z'));
}

TEST(CredentialTest, EachEncryptionUsesAFreshNonce) { EXPECT_NE(Encrypt("same"), Encrypt("same")); }

TEST(CredentialTest, EmptyPasswordIsStoredEmptyAndLoadsEmpty) {
  EXPECT_EQ(Encrypt(""), "");
  std::string text;
  EXPECT_TRUE(DecryptPassword(text));
  EXPECT_EQ(text, "");
}

TEST(CredentialTest, LowerCaseHexDecodesLikeUpperCase) {
  std::string stored = Encrypt("pa55word");
  for (char& c : stored) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_TRUE(DecryptPassword(stored));
  EXPECT_EQ(stored, "pa55word");
}

TEST(CredentialTest, UndecipherableTextIsLeftAsItStands) {
  std::string valid = Encrypt("pa55word");
  std::string flipped = valid;
  flipped[30] = flipped[30] == '0' ? '1' : '0';  // one cipher byte changed: tag fails
  std::string bad_tag =
      valid.substr(0, valid.size() - 2) + (valid.substr(valid.size() - 2) == "00" ? "01" : "00");
  for (const std::string& input :
       {std::string("clear typed by hand"), std::string("ABCDEF"), valid.substr(1),
        valid.substr(0, valid.size() - 1), valid.substr(0, 40), flipped, bad_tag,
        std::string(valid).replace(10, 1, "G"), std::string(120, '0')}) {
    std::string text = input;
    EXPECT_FALSE(DecryptPassword(text)) << input;
    EXPECT_EQ(text, input);
  }
}

}  // namespace
}  // namespace norvane
