#include "progress.h"

CProgress::CProgress(bool) {}
CProgress::~CProgress() {}
void CProgress::SetTotal(uint64_t) {}
void CProgress::Advance(uint64_t, uint64_t) {}
void CProgress::PrintLine(FILE* stream, const std::string& line) {
  fputs(line.c_str(), stream);
  fputc('\n', stream);
}
void CProgress::Finish() {}
