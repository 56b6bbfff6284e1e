#ifndef PROPAGATE_TABLE_TABLE_PARSER_H_
#define PROPAGATE_TABLE_TABLE_PARSER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sys/hex_text.h"

/// What a table line held; the values are fixed because dispatch compares them as numbers.
enum class EntryKind : uint32_t { None = 0, Table = 1, File = 2, Dir = 3, Symlink = 4 };

/// The attributes of a file record; the table record fills them for the installed table.
struct FileAttributes {
  uint32_t mode = 0;              ///< whole mode word to apply and compare
  std::string source;             ///< content's name in the repository directory
  std::string digest;             ///< recorded MD5 control sum text
  int64_t auxNumber = 0;          ///< token 8 of a file record; kept, read by nothing
  bool keepLocalChanges = false;  ///< replace only while the content matches the old table's digest
};

/// One parsed table line. A new entry has kind None, empty strings, zero numbers and false flags.
struct TableEntry {
  EntryKind kind = EntryKind::None;
  std::string name;    ///< path relative to the base directory; for Table the installed table's name
  std::string owner;   ///< user name
  std::string group;   ///< group name
  int64_t mtime = 0;   ///< access and modification time to set, seconds since the epoch
  FileAttributes file;
  bool keepExisting = false;  ///< Dir: an existing directory is left untouched
  uint32_t dirMode = 0;       ///< Dir: mode
  std::string target;         ///< Symlink: text of the link
};

/// Splits line at any byte of separators; runs of separators count as one and no token is empty.
std::vector<std::string_view> SplitTokens(std::string_view line, std::string_view separators);

/// The tokens of one line, split at construction; views into the line, which must outlive the list.
class CTokenList {
 public:
  /// Splits line at any byte of separators (SplitTokens).
  CTokenList(std::string_view line, std::string_view separators) : tokens(SplitTokens(line, separators)) {}
  /// Number of tokens.
  size_t Count() const { return tokens.size(); }
  /// Token at index, which must be below Count().
  std::string_view operator[](size_t index) const { return tokens[index]; }

 private:
  std::vector<std::string_view> tokens;
};

/// Decodes escaped text: "+" and two hexadecimal digits stand for one byte; anything else is copied,
/// including an unfinished escape at the end of the token.
std::string Unescape(std::string_view token);
/// The inverse of Unescape for any bytes: every control byte, blank, plus sign and 0x7F becomes "+" and two
/// upper-case hexadecimal digits, so that the result is one token on one line; bytes from 0x80 stay.
std::string Escape(std::string_view text);
/// True when any field of entry that reaches a system call (name, owner, group, source, target) holds a zero
/// byte, which every system call would take as the end of the string.
bool HasZeroByte(const TableEntry& entry);

/// strtol with base 0 (0x hexadecimal, leading 0 octal), clamped to the signed 64-bit range; no digits give 0.
int64_t ParseNumber(std::string_view token);
/// strtol with base 10, clamped to the signed 64-bit range; no digits give 0.
int64_t ParseDecimal(std::string_view token);

/// Turns the lines of one table file, one call per line, into TableEntry records.
class CTableParser {
 public:
  enum class ParserState : uint32_t { AwaitingHeader = 0, InTable = 1, Ended = 2 };

  /// Parses one line (without its line feed) into entry, which must be new. Returns false for the end
  /// record and true otherwise; throws RunError for a malformed record.
  bool ParseLine(const std::string& line, TableEntry& entry);

  /// Lines parsed so far; the line just parsed has this number.
  uint64_t LineNumber() const { return lineNumber; }
  /// Where the parser stands in the table.
  ParserState State() const { return state; }

 private:
  void CheckTokenCount(const CTokenList& tokens, size_t expected) const;
  void FillCommon(const CTokenList& tokens, TableEntry& entry) const;

  uint64_t lineNumber = 0;
  ParserState state = ParserState::AwaitingHeader;
};

#endif  // PROPAGATE_TABLE_TABLE_PARSER_H_
