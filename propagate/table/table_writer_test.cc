#include "table/table_writer.h"

#include <gtest/gtest.h>

#include <vector>

#include "table/table_parser.h"

namespace {

TableEntry Record(EntryKind kind, const std::string& name) {
  TableEntry entry;
  entry.kind = kind;
  entry.name = name;
  entry.owner = "root";
  entry.group = "adm";
  entry.mtime = 1700000000;
  return entry;
}

// Parses line as the record after a table record, as a table's second line.
TableEntry ParseRecord(const std::string& line) {
  CTableParser parser;
  TableEntry header;
  parser.ParseLine("table 1 - files.txt root root 0644", header);
  TableEntry entry;
  parser.ParseLine(line, entry);
  return entry;
}

}  // namespace

TEST(TableWriter, ModesAndVerbatimTokens) {
  EXPECT_EQ("0755", FormatMode(0755));
  EXPECT_EQ("0100644", FormatMode(0100644));
  EXPECT_EQ("0104750", FormatMode(0104750));
  EXPECT_EQ("02775", FormatMode(02775));
  EXPECT_EQ("00", FormatMode(0));

  EXPECT_TRUE(IsVerbatimToken("root"));
  EXPECT_TRUE(IsVerbatimToken("d\xc3\xa9veloppeur"));
  EXPECT_TRUE(IsVerbatimToken("a+b"));
  for (const std::string& bad : {std::string(""), std::string("a b"), std::string("a\tb"), std::string("a\nb"),
                                 std::string("a\rb"), std::string("a\x7f"), std::string("a\0b", 3)})
    EXPECT_FALSE(IsVerbatimToken(bad)) << bad;
}

TEST(TableWriter, Records) {
  TableEntry table = Record(EntryKind::Table, "files.txt");
  table.owner = "build user";
  table.file.mode = 0644;
  TableEntry dir = Record(EntryKind::Dir, "var/lib");
  dir.dirMode = 02750;
  dir.keepExisting = true;
  TableEntry file = Record(EntryKind::File, "etc/app name+1.conf");
  file.file.mode = 0104750;
  file.file.source = "2DA778D26480199BCB539FF1C66EE98E";
  file.file.digest = "2DA778D26480199BCB539FF1C66EE98E";
  TableEntry link = Record(EntryKind::Symlink, "share/README");
  link.mtime = -5;
  link.target = "../read me\n";
  TableEntry none;
  struct Case {
    const TableEntry& entry;
    std::string line;
  } cases[] = {
      {table, "table 1 - files.txt build+20user adm 0644"},
      {dir, "dir var/lib root adm 1700000000 02750 y"},
      {file,
       "file etc/app+20name+2B1.conf root adm 1700000000 0104750 2DA778D26480199BCB539FF1C66EE98E "
       "2DA778D26480199BCB539FF1C66EE98E 0 n"},
      {link, "symlink share/README root adm -5 ../read+20me+0A"},
      {none, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.line, FormatRecord(c.entry));
}

// Whatever bytes a name or target holds, the parser reads back exactly what the writer wrote.
TEST(TableWriter, ParserReadsBackEveryRecord) {
  std::string everyByte;
  for (int byte = 1; byte < 256; ++byte)
    everyByte += static_cast<char>(byte);
  const std::vector<std::string> names = {"plain", "a b", "+2B", "line\nfeed\r", "tab\there", "\xe2\x82\xac uro",
                                          std::string(255, 'n'), everyByte, "a/b/c/d/e/f/g/h"};
  for (const std::string& name : names) {
    TableEntry dir = Record(EntryKind::Dir, name);
    dir.dirMode = 0700;
    TableEntry parsed = ParseRecord(FormatDirRecord(dir));
    EXPECT_EQ(EntryKind::Dir, parsed.kind);
    EXPECT_EQ(name, parsed.name);
    EXPECT_EQ(0700u, parsed.dirMode);
    EXPECT_FALSE(parsed.keepExisting);

    TableEntry file = Record(EntryKind::File, name);
    file.file.mode = 0102755;
    file.file.source = "D41D8CD98F00B204E9800998ECF8427E";
    file.file.digest = "D41D8CD98F00B204E9800998ECF8427E";
    file.file.keepLocalChanges = true;
    parsed = ParseRecord(FormatFileRecord(file));
    EXPECT_EQ(EntryKind::File, parsed.kind);
    EXPECT_EQ(name, parsed.name);
    EXPECT_EQ("root", parsed.owner);
    EXPECT_EQ("adm", parsed.group);
    EXPECT_EQ(1700000000, parsed.mtime);
    EXPECT_EQ(0102755u, parsed.file.mode);
    EXPECT_EQ(file.file.source, parsed.file.source);
    EXPECT_EQ(file.file.digest, parsed.file.digest);
    EXPECT_TRUE(parsed.file.keepLocalChanges);

    TableEntry link = Record(EntryKind::Symlink, name);
    link.target = name;
    parsed = ParseRecord(FormatSymlinkRecord(link));
    EXPECT_EQ(EntryKind::Symlink, parsed.kind);
    EXPECT_EQ(name, parsed.name);
    EXPECT_EQ(name, parsed.target);

    TableEntry table = Record(EntryKind::Table, name);
    table.owner = name;
    table.group = name;
    table.file.mode = 0600;
    CTableParser parser;
    TableEntry header;
    parser.ParseLine(FormatTableRecord(table), header);
    EXPECT_EQ(EntryKind::Table, header.kind);
    EXPECT_EQ(name, header.name);
    EXPECT_EQ(name, header.owner);
    EXPECT_EQ(name, header.group);
    EXPECT_EQ(0600u, header.file.mode);
  }
}
