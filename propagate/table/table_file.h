#ifndef PROPAGATE_TABLE_TABLE_FILE_H_
#define PROPAGATE_TABLE_TABLE_FILE_H_

#include <sys/stat.h>

#include <string>
#include <vector>

#include "table/table_parser.h"

/// The table, file, dir and symlink records of the table file at path, in file order up to its end record,
/// without those that hold a zero byte in a field (no system call could reach the path they name). With
/// requireTableRecord a file without a table line fails: "%s: No table record" (path). Throws LoadLines'
/// errors ("%s: Cannot open: %s" when missing, "%s: Cannot mmap: %s" when empty or not a regular file) and
/// the parser's.
std::vector<TableEntry> LoadInstalledTable(const std::string& path, bool requireTableRecord);

/// LoadInstalledTable for the table that the last run installed: a file that cannot be read (missing,
/// unreadable, empty) is no table, and gives no record; its parse errors are thrown.
std::vector<TableEntry> LoadOldTable(const std::string& path);
/// The text of the table that the last run installed at path, and its status; empty when it cannot be read.
std::string ReadOldTable(const std::string& path, struct stat& status);
/// The records of an old table's text, as LoadOldTable gives them.
std::vector<TableEntry> ParseOldTable(const std::string& text);

#endif  // PROPAGATE_TABLE_TABLE_FILE_H_
