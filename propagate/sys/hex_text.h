#ifndef PROPAGATE_SYS_HEX_TEXT_H_
#define PROPAGATE_SYS_HEX_TEXT_H_

#include <cstddef>
#include <string>

/// Two upper-case hexadecimal digits of byte, high nibble first.
std::string HexByte(unsigned char byte);
/// HexByte of each of count bytes, concatenated.
std::string HexBytes(const unsigned char* bytes, size_t count);
/// True for 0-9, A-F and a-f.
bool IsHexDigit(unsigned char byte);
/// Value 0-15 of a hexadecimal digit.
unsigned HexDigitValue(unsigned char digit);
/// The byte high * 16 + low of two hexadecimal digits.
unsigned char HexPairValue(unsigned char high, unsigned char low);

#endif  // PROPAGATE_SYS_HEX_TEXT_H_
