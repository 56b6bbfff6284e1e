#ifndef PROPAGATE_TABLE_TABLE_WRITER_H_
#define PROPAGATE_TABLE_TABLE_WRITER_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "table/table_parser.h"

/// The first line of every table that --create writes; it describes the repository and holds no time.
extern const char kCreatedTableComment[];

/// mode in octal with a leading zero, as tables write modes: 0755, 0100644, and 00 for none.
std::string FormatMode(uint32_t mode);
/// True when text can be written as a verbatim token: not empty, no blank, no control byte and no 0x7F.
bool IsVerbatimToken(std::string_view text);

/// The table record of entry (name, owner, group escaped; file.mode), without line end.
std::string FormatTableRecord(const TableEntry& entry);
/// The dir record of entry (name escaped; owner and group verbatim; mtime; dirMode; keepExisting).
std::string FormatDirRecord(const TableEntry& entry);
/// The file record of entry (name escaped; owner, group, source and digest verbatim; mtime; file.mode,
/// auxNumber and keepLocalChanges).
std::string FormatFileRecord(const TableEntry& entry);
/// The symlink record of entry (name and target escaped; owner and group verbatim; mtime).
std::string FormatSymlinkRecord(const TableEntry& entry);
/// The record of entry for its kind, dispatching to the functions above; empty for kind None.
std::string FormatRecord(const TableEntry& entry);

#endif  // PROPAGATE_TABLE_TABLE_WRITER_H_
