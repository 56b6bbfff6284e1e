#include "table/table_file.h"

#include "sys/mapped_file.h"
#include "sys/run_error.h"

std::vector<TableEntry> LoadInstalledTable(const std::string& path, bool requireTableRecord) {
  std::vector<std::string> lines;
  LoadLines(path, lines);
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
  if (requireTableRecord && parser.State() == CTableParser::ParserState::AwaitingHeader)
    Fail("%s: No table record", path.c_str());
  return records;
}
