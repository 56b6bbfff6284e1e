#include "sys/run_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

std::string Format(const char* format, va_list arguments) {
  char* text = nullptr;
  int length = vasprintf(&text, format, arguments);
  if (length < 0)
    throw std::bad_alloc();
  std::unique_ptr<char, decltype(&free)> owned(text, &free);
  return std::string(owned.get(), static_cast<size_t>(length));
}

}  // namespace

void Fail(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string message = Format(format, arguments);
  va_end(arguments);
  throw RunError(message);
}

void FailErrno(int error, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string message = Format(format, arguments);
  va_end(arguments);
  throw RunError(message + ": " + strerror(error));
}
