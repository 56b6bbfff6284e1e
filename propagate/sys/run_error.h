#ifndef PROPAGATE_SYS_RUN_ERROR_H_
#define PROPAGATE_SYS_RUN_ERROR_H_

#include <stdexcept>
#include <string>

/// The one error type of propagate: the complete message, without "Error: " and line end.
class RunError : public std::runtime_error {
 public:
  explicit RunError(const std::string& message) : std::runtime_error(message) {}
};

/// Formats the message like printf and throws it as a RunError; std::bad_alloc when the text cannot be allocated.
[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Fails with the formatted text, ": " and the system's text for error, as in "chmod(%s): %s". Callers pass
/// errno itself, read before any other call can change it.
[[noreturn]] void FailErrno(int error, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif  // PROPAGATE_SYS_RUN_ERROR_H_
