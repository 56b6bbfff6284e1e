#include "table_checks.h"

#include <cstdint>
#include <cstdlib>

#include "fuzz_check.h"
#include "reference.h"
#include "sys/run_error.h"
#include "table/table_parser.h"

namespace {

using State = CTableParser::ParserState;

// What one line must give: either a kind and ParseLine's result, or the exact text of the RunError.
struct Expected {
  EntryKind kind = EntryKind::None;
  bool more = true;
  std::string error;
};

Expected Fails(std::string message) {
  Expected expected;
  expected.error = std::move(message);
  return expected;
}

Expected Gives(EntryKind kind) {
  Expected expected;
  expected.kind = kind;
  return expected;
}

// The record rules of the format, decided from the tokens alone: placement, token counts, the version
// and the flag byte of a file record.
Expected Expect(State state, const std::vector<std::string>& tokens, uint64_t line) {
  const std::string at = "Parse error in line " + std::to_string(line) + ": ";
  auto count = [&](size_t wanted) {
    return Fails(at + "Invalid token count (" + std::to_string(tokens.size()) + " ne " + std::to_string(wanted) +
                 ")");
  };
  if (tokens.empty())
    return Gives(EntryKind::None);
  const std::string& keyword = tokens[0];
  if (state == State::AwaitingHeader) {
    if (keyword != "table")
      return Gives(EntryKind::None);
    if (tokens.size() != 7)
      return count(7);
    if (tokens[1] != "1") {
      // The message is formatted with %s, so a zero byte in the token ends the quoted version there.
      std::string version = tokens[1].substr(0, tokens[1].find('\0'));
      return Fails("Unsupported table version (" + version + " ne 1), please upgrade");
    }
    return Gives(EntryKind::Table);
  }
  if (keyword == "file") {
    if (tokens.size() >= 10 && tokens[9][0] != 'y' && tokens[9][0] != 'n')
      return Fails("Parser error in line " + std::to_string(line) + ": Corrupted table (" + tokens[9][0] +
                   " ne 'y' and ne 'n')");
    return tokens.size() != 10 ? count(10) : Gives(EntryKind::File);
  }
  if (keyword == "symlink")
    return tokens.size() != 6 ? count(6) : Gives(EntryKind::Symlink);
  if (keyword == "dir")
    return tokens.size() != 7 ? count(7) : Gives(EntryKind::Dir);
  if (keyword == "end") {
    if (tokens.size() != 1)
      return count(1);
    Expected end;
    end.more = false;
    return end;
  }
  return Fails(at + "Invalid token");
}

int64_t Number(const std::string& token, int base) { return strtoll(token.c_str(), nullptr, base); }

bool BlankFileAttributes(const FileAttributes& file) {
  return file.mode == 0 && file.source.empty() && file.digest.empty() && file.auxNumber == 0 &&
         !file.keepLocalChanges;
}

// Every field against the tokens it comes from; fields that the kind does not define keep the values of
// a new entry.
void CheckFields(const TableEntry& entry, const std::vector<std::string>& t) {
  switch (entry.kind) {
    case EntryKind::None:
      FUZZ_REQUIRE(entry.name.empty() && entry.owner.empty() && entry.group.empty() && entry.mtime == 0);
      FUZZ_REQUIRE(BlankFileAttributes(entry.file));
      FUZZ_REQUIRE(!entry.keepExisting && entry.dirMode == 0 && entry.target.empty());
      return;
    case EntryKind::Table:
      FUZZ_REQUIRE(entry.name == ReferenceUnescape(t[3]));
      FUZZ_REQUIRE(entry.owner == ReferenceUnescape(t[4]));
      FUZZ_REQUIRE(entry.group == ReferenceUnescape(t[5]));
      FUZZ_REQUIRE(entry.mtime == 0);
      FUZZ_REQUIRE(entry.file.mode == static_cast<uint32_t>(Number(t[6], 0)));
      FUZZ_REQUIRE(entry.file.source.empty() && entry.file.digest.empty());
      FUZZ_REQUIRE(entry.file.auxNumber == 0 && !entry.file.keepLocalChanges);
      FUZZ_REQUIRE(!entry.keepExisting && entry.dirMode == 0 && entry.target.empty());
      return;
    case EntryKind::File:
    case EntryKind::Dir:
    case EntryKind::Symlink:
      // Owner and group are verbatim here, unlike in the table record.
      FUZZ_REQUIRE(entry.name == ReferenceUnescape(t[1]));
      FUZZ_REQUIRE(entry.owner == t[2]);
      FUZZ_REQUIRE(entry.group == t[3]);
      FUZZ_REQUIRE(entry.mtime == Number(t[4], 10));
      break;
  }
  if (entry.kind == EntryKind::File) {
    FUZZ_REQUIRE(entry.file.mode == static_cast<uint32_t>(Number(t[5], 0)));
    FUZZ_REQUIRE(entry.file.source == t[6]);
    FUZZ_REQUIRE(entry.file.digest == t[7]);
    FUZZ_REQUIRE(entry.file.auxNumber == Number(t[8], 10));
    FUZZ_REQUIRE(entry.file.keepLocalChanges == (t[9][0] == 'y'));
    FUZZ_REQUIRE(!entry.keepExisting && entry.dirMode == 0 && entry.target.empty());
  } else if (entry.kind == EntryKind::Dir) {
    FUZZ_REQUIRE(entry.dirMode == static_cast<uint32_t>(Number(t[5], 0)));
    FUZZ_REQUIRE(entry.keepExisting == (t[6][0] == 'y'));
    FUZZ_REQUIRE(BlankFileAttributes(entry.file));
    FUZZ_REQUIRE(entry.target.empty());
  } else {
    FUZZ_REQUIRE(entry.target == ReferenceUnescape(t[5]));
    FUZZ_REQUIRE(BlankFileAttributes(entry.file));
    FUZZ_REQUIRE(!entry.keepExisting && entry.dirMode == 0);
  }
}

}  // namespace

void CheckTableParse(const std::vector<std::string>& lines) {
  CTableParser parser;
  FUZZ_REQUIRE(parser.LineNumber() == 0);
  FUZZ_REQUIRE(parser.State() == State::AwaitingHeader);
  uint64_t fed = 0;
  bool tableSeen = false;
  for (const std::string& line : lines) {
    const State before = parser.State();
    const std::vector<std::string> tokens = ReferenceTokens(line);
    ++fed;
    const Expected expected = Expect(before, tokens, fed);
    TableEntry entry;
    bool more = false;
    try {
      more = parser.ParseLine(line, entry);
    } catch (const RunError& error) {
      FUZZ_REQUIRE(!expected.error.empty());
      // what() ends at a zero byte, which the flag byte of the corrupted-table message may be.
      FUZZ_REQUIRE(expected.error.substr(0, expected.error.find('\0')) == error.what());
      FUZZ_REQUIRE(parser.LineNumber() == fed);
      return;
    }
    FUZZ_REQUIRE(expected.error.empty());
    FUZZ_REQUIRE(parser.LineNumber() == fed);
    FUZZ_REQUIRE(more == expected.more);
    FUZZ_REQUIRE(entry.kind == expected.kind);
    CheckFields(entry, tokens);
    if (!more) {
      FUZZ_REQUIRE(before == State::InTable);
      FUZZ_REQUIRE(parser.State() == State::Ended);
      return;
    }
    if (entry.kind == EntryKind::Table) {
      // The table record is accepted once and only as the first table line; a second one is an error.
      FUZZ_REQUIRE(!tableSeen);
      FUZZ_REQUIRE(before == State::AwaitingHeader);
      tableSeen = true;
    }
    FUZZ_REQUIRE(parser.State() == (tableSeen ? State::InTable : State::AwaitingHeader));
  }
}
