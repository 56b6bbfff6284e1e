#include "table/table_parser.h"

#include <cinttypes>
#include <cstdlib>

#include "sys/run_error.h"

std::vector<std::string_view> SplitTokens(std::string_view line, std::string_view separators) {
  // One look-up per byte: searching the separators for every byte of every line costs more than the rest
  // of the parse.
  bool separator[256] = {};
  for (char c : separators)
    separator[static_cast<unsigned char>(c)] = true;
  std::vector<std::string_view> tokens;
  tokens.reserve(12);
  size_t start = 0;
  size_t length = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (separator[static_cast<unsigned char>(line[i])]) {
      if (length != 0)
        tokens.push_back(line.substr(start, length));
      length = 0;
      start = i + 1;
    } else {
      ++length;
    }
  }
  if (length != 0)
    tokens.push_back(line.substr(start, length));
  return tokens;
}

std::string Unescape(std::string_view token) {
  std::string text;
  text.reserve(token.size());
  size_t i = 0;
  while (i < token.size()) {
    char byte = token[i];
    if (byte != '+') {
      text += byte;
      ++i;
      continue;
    }
    // An unfinished escape at the end is copied so that no byte of a name silently disappears.
    if (token.size() - i < 3) {
      text.append(token.substr(i));
      break;
    }
    unsigned char high = static_cast<unsigned char>(token[i + 1]);
    unsigned char low = static_cast<unsigned char>(token[i + 2]);
    if (IsHexDigit(high) && IsHexDigit(low))
      text += static_cast<char>(HexPairValue(high, low));
    else
      text.append(token.substr(i, 3));
    i += 3;
  }
  return text;
}

std::string Escape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char byte : text) {
    unsigned char value = static_cast<unsigned char>(byte);
    if (value <= ' ' || value == '+' || value == 0x7F) {
      escaped += '+';
      escaped += HexByte(value);
    } else {
      escaped += byte;
    }
  }
  return escaped;
}

bool HasZeroByte(const TableEntry& entry) {
  for (const std::string* field : {&entry.name, &entry.owner, &entry.group, &entry.file.source, &entry.target})
    if (field->find('\0') != std::string::npos)
      return true;
  return false;
}

namespace {

int64_t ParseWithBase(std::string_view token, int base) {
  // strtoll needs a terminated copy; a zero byte inside the token stops it where any non-digit would.
  std::string terminated(token);
  long long value = strtoll(terminated.c_str(), nullptr, base);
  return static_cast<int64_t>(value);
}

}  // namespace

int64_t ParseNumber(std::string_view token) { return ParseWithBase(token, 0); }

int64_t ParseDecimal(std::string_view token) { return ParseWithBase(token, 10); }

void CTableParser::CheckTokenCount(const CTokenList& tokens, size_t expected) const {
  if (tokens.Count() != expected)
    Fail("Parse error in line %" PRIu64 ": Invalid token count (%zu ne %zu)", lineNumber, tokens.Count(),
         expected);
}

void CTableParser::FillCommon(const CTokenList& tokens, TableEntry& entry) const {
  entry.name = Unescape(tokens[1]);
  entry.owner = tokens[2];
  entry.group = tokens[3];
  entry.mtime = ParseDecimal(tokens[4]);
}

bool CTableParser::ParseLine(const std::string& line, TableEntry& entry) {
  ++lineNumber;
  CTokenList tokens(line, " ");
  if (tokens.Count() == 0) {
    entry.kind = EntryKind::None;
    return true;
  }
  std::string_view keyword = tokens[0];

  if (state == ParserState::AwaitingHeader) {
    if (keyword != "table") {
      entry.kind = EntryKind::None;
      return true;
    }
    CheckTokenCount(tokens, 7);
    if (tokens[1] != "1") {
      std::string version(tokens[1]);
      Fail("Unsupported table version (%s ne 1), please upgrade", version.c_str());
    }
    state = ParserState::InTable;
    entry.kind = EntryKind::Table;
    entry.name = Unescape(tokens[3]);
    entry.owner = Unescape(tokens[4]);
    entry.group = Unescape(tokens[5]);
    entry.mtime = 0;
    entry.file.mode = static_cast<uint32_t>(ParseNumber(tokens[6]));
    entry.file.source.clear();
    entry.file.digest.clear();
    entry.file.auxNumber = 0;
    entry.file.keepLocalChanges = false;
    return true;
  }

  if (keyword == "file") {
    if (tokens.Count() >= 10 && tokens[9][0] != 'y' && tokens[9][0] != 'n')
      Fail("Parser error in line %" PRIu64 ": Corrupted table (%c ne 'y' and ne 'n')", lineNumber, tokens[9][0]);
    CheckTokenCount(tokens, 10);
    FillCommon(tokens, entry);
    entry.file.mode = static_cast<uint32_t>(ParseNumber(tokens[5]));
    entry.file.source = tokens[6];
    entry.file.digest = tokens[7];
    entry.file.auxNumber = ParseDecimal(tokens[8]);
    entry.kind = EntryKind::File;
    entry.file.keepLocalChanges = tokens[9][0] == 'y';
    return true;
  }
  if (keyword == "symlink") {
    CheckTokenCount(tokens, 6);
    FillCommon(tokens, entry);
    entry.target = Unescape(tokens[5]);
    entry.kind = EntryKind::Symlink;
    return true;
  }
  if (keyword == "dir") {
    CheckTokenCount(tokens, 7);
    FillCommon(tokens, entry);
    entry.dirMode = static_cast<uint32_t>(ParseNumber(tokens[5]));
    entry.kind = EntryKind::Dir;
    entry.keepExisting = tokens[6][0] == 'y';
    return true;
  }
  if (keyword == "end") {
    CheckTokenCount(tokens, 1);
    state = ParserState::Ended;
    entry.kind = EntryKind::None;
    return false;
  }
  Fail("Parse error in line %" PRIu64 ": Invalid token", lineNumber);
}
