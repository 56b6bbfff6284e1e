#ifndef PROPAGATE_CREATE_H_
#define PROPAGATE_CREATE_H_

#include <cstdint>
#include <optional>

#include "command_line.h"

/// propagate --create: writes options.repodir (files.txt and content files) from the staged tree
/// options.stagedir. Returns the exit status (0); throws RunError on any failure, and then writes no table.
int RunCreate(const Options& options);

/// The time that later times are clamped to, from the text of SOURCE_DATE_EPOCH: nothing when text is null
/// or empty; "SOURCE_DATE_EPOCH: Cannot read %s as seconds since 1970" unless it is decimal digits.
std::optional<int64_t> ParseSourceDateEpoch(const char* text);

#endif  // PROPAGATE_CREATE_H_
