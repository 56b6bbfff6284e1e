#ifndef FUZZ_REFERENCE_H_
#define FUZZ_REFERENCE_H_

#include <string>
#include <string_view>
#include <vector>

// Plain, slow restatements of the table format, written independently of propagate's code so that a
// fault there shows up as a disagreement rather than being checked against itself.

/// The tokens of a line split at blanks only; runs of blanks separate like one and no token is empty.
std::vector<std::string> ReferenceTokens(std::string_view line);

/// Escaped text decoded with the three-state reader of the format: "+" and two hexadecimal digits give
/// one byte, any other three characters after "+" are copied, a decoded byte never opens an escape, and
/// an unfinished escape at the end of the token is copied as it stands.
std::string ReferenceUnescape(std::string_view token);

/// The lines of a table file's bytes: a line feed ends a line, carriage returns are dropped wherever
/// they stand, and a last line without line feed counts when it is not empty.
std::vector<std::string> ReferenceLines(std::string_view bytes);

/// True for 0-9, A-F and a-f.
bool ReferenceIsHexDigit(char byte);

#endif  // FUZZ_REFERENCE_H_
