// Unescape of random tokens against the format's own reader, and round trips through escaping.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "reference.h"
#include "table/table_parser.h"

namespace {

std::string EscapeByte(unsigned char byte, bool lowerCase) {
  const char* digits = lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
  return {'+', digits[byte >> 4], digits[byte & 15]};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string text = Unescape(input);

  // Each escape shrinks three bytes to one or copies them; nothing ever grows.
  FUZZ_REQUIRE(text.size() <= input.size());
  if (input.find('+') == std::string_view::npos)
    FUZZ_REQUIRE(text == input);
  FUZZ_REQUIRE(text == ReferenceUnescape(input));

  // A writer may escape every byte, in either letter case, and the token must decode to the input.
  std::string everything;
  // What a table writer must escape at least: blank, plus sign, line feed and carriage return.
  std::string minimal;
  for (size_t i = 0; i < size; ++i) {
    const unsigned char byte = data[i];
    everything += EscapeByte(byte, (i & 1) != 0);
    if (byte == ' ' || byte == '+' || byte == '\n' || byte == '\r')
      minimal += EscapeByte(byte, (byte & 1) != 0);
    else
      minimal += static_cast<char>(byte);
  }
  FUZZ_REQUIRE(Unescape(everything) == input);
  FUZZ_REQUIRE(Unescape(minimal) == input);

  // The table writer's own escaping: one token on one line that reads back as the input.
  const std::string escaped = Escape(input);
  FUZZ_REQUIRE(Unescape(escaped) == input);
  for (const char byte : escaped) {
    const unsigned char value = static_cast<unsigned char>(byte);
    FUZZ_REQUIRE(value > ' ' && value != 0x7F);
  }
  return 0;
}
