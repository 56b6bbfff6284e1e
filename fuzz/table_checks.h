#ifndef FUZZ_TABLE_CHECKS_H_
#define FUZZ_TABLE_CHECKS_H_

#include <string>
#include <vector>

/// Feeds lines in order to one CTableParser, as the run driver does, up to the end record or the first
/// RunError, and aborts when an entry, the parser's state or an error message contradicts the table
/// format. RunError itself is an expected outcome for random lines.
void CheckTableParse(const std::vector<std::string>& lines);

#endif  // FUZZ_TABLE_CHECKS_H_
