#include "reference.h"

namespace {

int DigitValue(char byte) {
  if (byte >= '0' && byte <= '9')
    return byte - '0';
  if (byte >= 'A' && byte <= 'F')
    return byte - 'A' + 10;
  if (byte >= 'a' && byte <= 'f')
    return byte - 'a' + 10;
  return -1;
}

}  // namespace

bool ReferenceIsHexDigit(char byte) { return DigitValue(byte) >= 0; }

std::vector<std::string> ReferenceTokens(std::string_view line) {
  std::vector<std::string> tokens;
  std::string current;
  for (char byte : line) {
    if (byte != ' ') {
      current += byte;
    } else if (!current.empty()) {
      tokens.push_back(current);
      current.clear();
    }
  }
  if (!current.empty())
    tokens.push_back(current);
  return tokens;
}

std::string ReferenceUnescape(std::string_view token) {
  enum class State { Normal, FirstDigit, SecondDigit } state = State::Normal;
  std::string text;
  char first = 0;
  for (char byte : token) {
    switch (state) {
      case State::Normal:
        if (byte == '+')
          state = State::FirstDigit;
        else
          text += byte;
        break;
      case State::FirstDigit:
        first = byte;
        state = State::SecondDigit;
        break;
      case State::SecondDigit:
        if (ReferenceIsHexDigit(first) && ReferenceIsHexDigit(byte)) {
          text += static_cast<char>(DigitValue(first) * 16 + DigitValue(byte));
        } else {
          text += '+';
          text += first;
          text += byte;
        }
        state = State::Normal;
        break;
    }
  }
  if (state == State::FirstDigit) {
    text += '+';
  } else if (state == State::SecondDigit) {
    text += '+';
    text += first;
  }
  return text;
}

std::vector<std::string> ReferenceLines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::string current;
  for (char byte : bytes) {
    if (byte == '\n') {
      lines.push_back(current);
      current.clear();
    } else if (byte != '\r') {
      current += byte;
    }
  }
  if (!current.empty())
    lines.push_back(current);
  return lines;
}
