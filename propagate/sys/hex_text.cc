#include "sys/hex_text.h"

std::string HexByte(unsigned char byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  return {kDigits[byte >> 4], kDigits[byte & 15]};
}

std::string HexBytes(const unsigned char* bytes, size_t count) {
  std::string text;
  text.reserve(2 * count);
  for (size_t i = 0; i < count; ++i)
    text += HexByte(bytes[i]);
  return text;
}

bool IsHexDigit(unsigned char byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'F') || (byte >= 'a' && byte <= 'f');
}

unsigned HexDigitValue(unsigned char digit) {
  if (digit >= '0' && digit <= '9')
    return digit - '0';
  if (digit >= 'A' && digit <= 'F')
    return digit - 'A' + 10;
  return digit - 'a' + 10;
}

unsigned char HexPairValue(unsigned char high, unsigned char low) {
  return static_cast<unsigned char>(HexDigitValue(high) * 16 + HexDigitValue(low));
}
