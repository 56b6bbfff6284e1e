#include "run_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

void Fail(const char* format, ...) {
  char* text = nullptr;
  va_list arguments;
  va_start(arguments, format);
  int length = vasprintf(&text, format, arguments);
  va_end(arguments);
  if (length < 0)
    throw std::bad_alloc();
  std::unique_ptr<char, decltype(&free)> owned(text, &free);
  throw RunError(std::string(owned.get(), static_cast<size_t>(length)));
}
