#include "table/table_parser.h"

#include <gtest/gtest.h>

#include <vector>

#include "sys/test_support.h"

namespace {

// Parses lines in order with one parser, as a caller does, and returns the entries up to the end record.
std::vector<TableEntry> ParseAll(const std::vector<std::string>& lines) {
  CTableParser parser;
  std::vector<TableEntry> entries;
  for (const std::string& line : lines) {
    TableEntry entry;
    if (!parser.ParseLine(line, entry))
      break;
    entries.push_back(entry);
  }
  return entries;
}

std::string ParseError(const std::vector<std::string>& lines) {
  return ErrorOf([&] { ParseAll(lines); });
}

const char kHeader[] = "table 1 - files.txt root root 0644";

}  // namespace

TEST(TableParserSplit, Tokens) {
  struct Case {
    std::string line;
    std::vector<std::string> tokens;
  } cases[] = {
      {"", {}},
      {"   ", {}},
      {"a b c", {"a", "b", "c"}},
      {"a  b", {"a", "b"}},
      {"  a b  ", {"a", "b"}},
      {"a\tb c", {"a\tb", "c"}},
      {std::string("a\0b c", 5), {std::string("a\0b", 3), "c"}},
  };
  for (const Case& c : cases) {
    CTokenList tokens(c.line, " ");
    ASSERT_EQ(c.tokens.size(), tokens.Count()) << "[" << c.line << "]";
    for (size_t i = 0; i < tokens.Count(); ++i)
      EXPECT_EQ(c.tokens[i], tokens[i]) << "[" << c.line << "] token " << i;
  }
  EXPECT_EQ(3u, CTokenList("a,b;;c", ",;").Count());
}

TEST(TableParserUnescape, Cases) {
  struct Case {
    const char* token;
    std::string text;
  } cases[] = {
      {"plain", "plain"},
      {"a+20b", "a b"},
      {"+2b", "+"},
      {"+2B", "+"},
      {"+zz", "+zz"},
      {"+2+41", "+2+41"},
      {"+2B41", "+41"},
      {"+72oot", "root"},
      {"+0a+0D", "\n\r"},
      {"+ff+FF", "\xff\xff"},
      {"+00", std::string(1, '\0')},
      {"a+g0", "a+g0"},
      // An unfinished escape at the end is kept, so no byte of a name disappears.
      {"a+", "a+"},
      {"a+2", "a+2"},
      {"+", "+"},
      {"", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.text, Unescape(c.token)) << c.token;
}

TEST(TableParserNumbers, Cases) {
  struct Case {
    const char* token;
    int64_t number;   // base 0
    int64_t decimal;  // base 10
  } cases[] = {
      {"0755", 493, 755},
      {"0x1ed", 493, 0},
      {"0X1ED", 493, 0},
      {"755", 755, 755},
      {"0755x", 493, 755},
      {"abc", 0, 0},
      {"0x10", 16, 0},
      {"-5", -5, -5},
      {"+7", 7, 7},
      {"017", 15, 17},
      {"\t12", 12, 12},
      {"\t012", 10, 12},
      {"99999999999999999999", INT64_MAX, INT64_MAX},
      {"-99999999999999999999", INT64_MIN, INT64_MIN},
      {"", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.number, ParseNumber(c.token)) << c.token;
    EXPECT_EQ(c.decimal, ParseDecimal(c.token)) << c.token;
  }
}

TEST(TableParser, SampleTable) {
  std::vector<TableEntry> entries = ParseAll({
      kHeader,
      "dir etc root root 0 0755 n",
      "file etc/app+20name.conf root staff 0 0644 app.conf 0123456789ABCDEF0123456789ABCDEF 0 y",
      "symlink etc/current root root 0 app+20name.conf",
      "end",
  });
  ASSERT_EQ(4u, entries.size());
  EXPECT_EQ(EntryKind::Table, entries[0].kind);
  EXPECT_EQ("files.txt", entries[0].name);
  EXPECT_EQ("root", entries[0].owner);
  EXPECT_EQ("root", entries[0].group);
  EXPECT_EQ(420u, entries[0].file.mode);
  EXPECT_EQ(0, entries[0].mtime);

  EXPECT_EQ(EntryKind::Dir, entries[1].kind);
  EXPECT_EQ("etc", entries[1].name);
  EXPECT_EQ(493u, entries[1].dirMode);
  EXPECT_FALSE(entries[1].keepExisting);
  EXPECT_EQ(0u, entries[1].file.mode);

  const TableEntry& file = entries[2];
  EXPECT_EQ(EntryKind::File, file.kind);
  EXPECT_EQ("etc/app name.conf", file.name);
  EXPECT_EQ("root", file.owner);
  EXPECT_EQ("staff", file.group);
  EXPECT_EQ(420u, file.file.mode);
  EXPECT_EQ("app.conf", file.file.source);
  EXPECT_EQ("0123456789ABCDEF0123456789ABCDEF", file.file.digest);
  EXPECT_TRUE(file.file.keepLocalChanges);
  EXPECT_EQ(0u, file.dirMode);
  EXPECT_EQ("", file.target);

  EXPECT_EQ(EntryKind::Symlink, entries[3].kind);
  EXPECT_EQ("etc/current", entries[3].name);
  EXPECT_EQ("app name.conf", entries[3].target);
}

TEST(TableParser, FieldEncodings) {
  std::vector<TableEntry> entries = ParseAll({
      "table 1 x my+20table +72oot wh+65el 0x1a4",
      "file a+2Bb +72oot wheel 1700000000 0100755 src+20x ABC -3 yes",
      "dir d u g 017 0755 x",
      "dir e u g 5 0755 yes",
      "symlink l u g 0x10 ../t+0a",
  });
  ASSERT_EQ(5u, entries.size());
  EXPECT_EQ("my table", entries[0].name);
  EXPECT_EQ("root", entries[0].owner);  // escaped in the table record
  EXPECT_EQ("wheel", entries[0].group);
  EXPECT_EQ(420u, entries[0].file.mode);
  EXPECT_EQ("a+b", entries[1].name);
  EXPECT_EQ("+72oot", entries[1].owner);  // verbatim in a file record
  EXPECT_EQ(1700000000, entries[1].mtime);
  EXPECT_EQ(0100755u, entries[1].file.mode);
  EXPECT_EQ("src+20x", entries[1].file.source);  // source is verbatim
  EXPECT_EQ(-3, entries[1].file.auxNumber);
  EXPECT_TRUE(entries[1].file.keepLocalChanges);
  EXPECT_EQ(17, entries[2].mtime);
  EXPECT_FALSE(entries[2].keepExisting);
  EXPECT_TRUE(entries[3].keepExisting);
  EXPECT_EQ(0, entries[4].mtime);
  EXPECT_EQ("../t\n", entries[4].target);
}

TEST(TableParser, ModeKeepsLowThirtyTwoBits) {
  std::vector<TableEntry> entries = ParseAll({"table 1 - t r r 0x1000001ed", "file f u g 0 -1 s d 0 n"});
  EXPECT_EQ(0x1edu, entries[0].file.mode);
  EXPECT_EQ(0xFFFFFFFFu, entries[1].file.mode);
}

TEST(TableParser, LinesBeforeHeaderAreSkippedButCounted) {
  CTableParser parser;
  std::vector<std::string> lines = {"", "free text here", "file a u g 0 0644 s d 0 n", "   ", kHeader, ""};
  for (const std::string& line : lines) {
    TableEntry entry;
    EXPECT_TRUE(parser.ParseLine(line, entry));
    EXPECT_EQ(line == kHeader ? EntryKind::Table : EntryKind::None, entry.kind) << line;
  }
  EXPECT_EQ(6u, parser.LineNumber());
  EXPECT_EQ(CTableParser::ParserState::InTable, parser.State());
  TableEntry entry;
  EXPECT_EQ("Parse error in line 7: Invalid token", ErrorOf([&] { parser.ParseLine("bogus", entry); }));
}

TEST(TableParser, EndRecordStopsAndLaterLinesAreNeverParsed) {
  CTableParser parser;
  TableEntry header, end;
  EXPECT_TRUE(parser.ParseLine(kHeader, header));
  EXPECT_FALSE(parser.ParseLine("end", end));
  EXPECT_EQ(EntryKind::None, end.kind);
  EXPECT_EQ(CTableParser::ParserState::Ended, parser.State());
  EXPECT_EQ(1u, ParseAll({kHeader, "end", "garbage that would fail", "table 2"}).size());
  // Without an end record every line is parsed and no error is raised.
  EXPECT_EQ(2u, ParseAll({kHeader, "dir a u g 0 0755 n"}).size());
}

TEST(TableParser, Errors) {
  struct Case {
    std::vector<std::string> lines;
    std::string message;
  } cases[] = {
      {{"table 1 - files.txt root root"}, "Parse error in line 1: Invalid token count (6 ne 7)"},
      {{"table 1"}, "Parse error in line 1: Invalid token count (2 ne 7)"},
      {{"table 01 - files.txt root root 0644"}, "Unsupported table version (01 ne 1), please upgrade"},
      {{"table 2 - files.txt root root 0644"}, "Unsupported table version (2 ne 1), please upgrade"},
      {{"", "x", "table 1 - t r r 0644 extra"}, "Parse error in line 3: Invalid token count (8 ne 7)"},
      {{kHeader, kHeader}, "Parse error in line 2: Invalid token"},
      {{kHeader, "", "File a u g 0 0644 s d 0 n"}, "Parse error in line 3: Invalid token"},
      {{kHeader, "file a u g 0 0644 s d 0 x"}, "Parser error in line 2: Corrupted table (x ne 'y' and ne 'n')"},
      {{kHeader, "file a u g 0 0644 s d 0"}, "Parse error in line 2: Invalid token count (9 ne 10)"},
      {{kHeader, "file a u g 0 0644 s d 0 y extra"}, "Parse error in line 2: Invalid token count (11 ne 10)"},
      {{kHeader, "file a u g 0 0644 s d 0 Y extra"},
       "Parser error in line 2: Corrupted table (Y ne 'y' and ne 'n')"},
      {{kHeader, "dir a u g 0 0755"}, "Parse error in line 2: Invalid token count (6 ne 7)"},
      {{kHeader, "symlink a u g 0"}, "Parse error in line 2: Invalid token count (5 ne 6)"},
      {{kHeader, "symlink a u g 0 t x"}, "Parse error in line 2: Invalid token count (7 ne 6)"},
      {{kHeader, "end x"}, "Parse error in line 2: Invalid token count (2 ne 1)"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.message, ParseError(c.lines)) << c.lines.back();
}

TEST(TableParser, FreshEntryFieldsStayInitial) {
  std::vector<TableEntry> entries = ParseAll({kHeader, "symlink l u g 99 t"});
  const TableEntry& link = entries[1];
  EXPECT_EQ(0u, link.file.mode);
  EXPECT_EQ("", link.file.source);
  EXPECT_EQ("", link.file.digest);
  EXPECT_EQ(0, link.file.auxNumber);
  EXPECT_FALSE(link.file.keepLocalChanges);
  EXPECT_FALSE(link.keepExisting);
  EXPECT_EQ(0u, link.dirMode);
}

TEST(TableParserEscape, Cases) {
  struct Case {
    std::string text;
    const char* token;
  } cases[] = {
      {"plain/name.conf", "plain/name.conf"},
      {"a b", "a+20b"},
      {"+", "+2B"},
      {"+2B", "+2B2B"},
      {"\n\r\t", "+0A+0D+09"},
      {std::string(1, '\0'), "+00"},
      {"\x1f\x7f", "+1F+7F"},
      {"!~", "!~"},
      // Bytes from 0x80 stay, so UTF-8 names remain readable.
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
      {"\x80\xff", "\x80\xff"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.token, Escape(c.text)) << c.token;
    EXPECT_EQ(c.text, Unescape(Escape(c.text))) << c.token;
    if (!c.text.empty()) {
      EXPECT_EQ(2u, CTokenList(Escape(c.text) + " next", " ").Count()) << c.token;
    }
  }
}
