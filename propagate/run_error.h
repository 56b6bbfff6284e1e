#ifndef PROPAGATE_RUN_ERROR_H_
#define PROPAGATE_RUN_ERROR_H_

#include <stdexcept>
#include <string>

/// The one error type of propagate: the complete message, without "Error: " and line end.
class RunError : public std::logic_error {
 public:
  explicit RunError(const std::string& message) : std::logic_error(message) {}
};

/// Formats the message like printf and throws it as a RunError; std::bad_alloc when the text cannot be allocated.
[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // PROPAGATE_RUN_ERROR_H_
