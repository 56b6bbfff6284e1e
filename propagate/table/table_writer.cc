#include "table/table_writer.h"

#include <cinttypes>
#include <cstdio>

const char kCreatedTableComment[] = "Velmira repository, made by propagate --create";

std::string FormatMode(uint32_t mode) {
  char text[16];
  snprintf(text, sizeof text, "0%" PRIo32, mode);
  return text;
}

bool IsVerbatimToken(std::string_view text) {
  if (text.empty())
    return false;
  for (char byte : text) {
    unsigned char value = static_cast<unsigned char>(byte);
    if (value <= ' ' || value == 0x7F)
      return false;
  }
  return true;
}

namespace {

/// The tokens that dir, file and symlink records share: keyword, name, owner, group, time.
std::string CommonTokens(const char* keyword, const TableEntry& entry) {
  std::string line = keyword;
  line += ' ';
  line += Escape(entry.name);
  line += ' ';
  line += entry.owner;
  line += ' ';
  line += entry.group;
  line += ' ';
  line += std::to_string(entry.mtime);
  return line;
}

}  // namespace

std::string FormatTableRecord(const TableEntry& entry) {
  return "table 1 - " + Escape(entry.name) + " " + Escape(entry.owner) + " " + Escape(entry.group) + " " +
         FormatMode(entry.file.mode);
}

std::string FormatDirRecord(const TableEntry& entry) {
  return CommonTokens("dir", entry) + " " + FormatMode(entry.dirMode) + (entry.keepExisting ? " y" : " n");
}

std::string FormatFileRecord(const TableEntry& entry) {
  return CommonTokens("file", entry) + " " + FormatMode(entry.file.mode) + " " + entry.file.source + " " +
         entry.file.digest + " " + std::to_string(entry.file.auxNumber) + (entry.file.keepLocalChanges ? " y" : " n");
}

std::string FormatSymlinkRecord(const TableEntry& entry) {
  return CommonTokens("symlink", entry) + " " + Escape(entry.target);
}

std::string FormatRecord(const TableEntry& entry) {
  switch (entry.kind) {
    case EntryKind::Table:
      return FormatTableRecord(entry);
    case EntryKind::Dir:
      return FormatDirRecord(entry);
    case EntryKind::File:
      return FormatFileRecord(entry);
    case EntryKind::Symlink:
      return FormatSymlinkRecord(entry);
    case EntryKind::None:
      break;
  }
  return "";
}
