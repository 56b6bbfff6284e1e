// Random tables fed line by line to one CTableParser, as the run driver feeds the repository table.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "table_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Only line feeds cut lines here; carriage returns and zero bytes stay inside the lines so that the
  // parser meets the bytes that the line loader would have removed as well.
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n')
      lines.emplace_back();
    else
      lines.back() += static_cast<char>(data[i]);
  }
  CheckTableParse(lines);
  return 0;
}
