#include "sys/hex_text.h"

#include <gtest/gtest.h>

TEST(HexText, EncodesUpperCaseHighNibbleFirst) {
  struct Case {
    unsigned char byte;
    const char* text;
  } cases[] = {{0x00, "00"}, {0x0A, "0A"}, {0xA0, "A0"}, {0x5C, "5C"}, {0x9F, "9F"}, {0xFF, "FF"}};
  for (const Case& c : cases)
    EXPECT_EQ(c.text, HexByte(c.byte)) << int{c.byte};

  const unsigned char bytes[16] = {0x00, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD,
                                   0xEF, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x10};
  EXPECT_EQ("", HexBytes(bytes, 0));
  EXPECT_EQ("00", HexBytes(bytes, 1));
  EXPECT_EQ("000123456789ABCDEFFEDCBA98765410", HexBytes(bytes, 16));
}

TEST(HexText, DecodesEitherCase) {
  std::string digits = "0123456789ABCDEFabcdef";
  for (int byte = 0; byte < 256; ++byte)
    EXPECT_EQ(digits.find(static_cast<char>(byte)) != std::string::npos, IsHexDigit(byte)) << byte;
  EXPECT_EQ(0u, HexDigitValue('0'));
  EXPECT_EQ(9u, HexDigitValue('9'));
  EXPECT_EQ(10u, HexDigitValue('A'));
  EXPECT_EQ(15u, HexDigitValue('f'));
  EXPECT_EQ(0xA5, HexPairValue('a', '5'));
  EXPECT_EQ(0xFF, HexPairValue('F', 'f'));
}
