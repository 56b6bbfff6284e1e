#include "table/table_file.h"

#include "sys/mapped_file.h"
#include "sys/run_error.h"

namespace {

/// The records of lines; hasTableLine tells whether a table line was met, kept or not.
std::vector<TableEntry> ParseLines(const std::vector<std::string>& lines, bool& hasTableLine) {
  std::vector<TableEntry> records;
  records.reserve(lines.size());
  CTableParser parser;
  for (const std::string& line : lines) {
    TableEntry entry;
    if (!parser.ParseLine(line, entry))
      break;
    if (entry.kind != EntryKind::None && !HasZeroByte(entry))
      records.push_back(std::move(entry));
  }
  // The parser leaves its first state only at the table line, whether or not that record was kept.
  hasTableLine = parser.State() != CTableParser::ParserState::AwaitingHeader;
  return records;
}

}  // namespace

std::vector<TableEntry> LoadInstalledTable(const std::string& path, bool requireTableRecord) {
  std::vector<std::string> lines;
  LoadLines(path, lines);
  bool hasTableLine = false;
  std::vector<TableEntry> records = ParseLines(lines, hasTableLine);
  if (requireTableRecord && !hasTableLine)
    Fail("%s: No table record", path.c_str());
  return records;
}

std::string ReadOldTable(const std::string& path, struct stat& status) {
  try {
    CMappedFile file(path);
    status = file.Status();
    return std::string(reinterpret_cast<const char*>(file.Data()), file.Size());
  } catch (const RunError&) {
    return {};  // a missing, unreadable or empty old table is no old table
  }
}

std::vector<TableEntry> ParseOldTable(const std::string& text) {
  std::vector<std::string> lines;
  CLineCursor cursor(text);
  for (std::string line; cursor.Next(line);)
    lines.push_back(std::move(line));
  bool hasTableLine = false;
  return ParseLines(lines, hasTableLine);
}

std::vector<TableEntry> LoadOldTable(const std::string& path) {
  struct stat status;
  return ParseOldTable(ReadOldTable(path, status));
}
