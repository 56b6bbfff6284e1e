#include "file_ops.h"

// Filled in with the file-system primitives.
bool PathExists(const std::string&, struct stat&) { return false; }
uid_t UserId(const std::string&) { return 0; }
gid_t GroupId(const std::string&) { return 0; }
std::string ReadLink(const std::string&) { return ""; }
void SetMode(const std::string&, uint32_t) {}
void SetOwner(const std::string&, const TableEntry&) {}
void SetTimes(const std::string&, int64_t) {}
void MakeDir(const std::string&, uint32_t) {}
void CopyFile(const std::string&, const std::string&, bool) {}
void SyncFileSystem(const std::string&) {}
