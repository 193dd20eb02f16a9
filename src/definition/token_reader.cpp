#include "definition/token_reader.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include <sys/stat.h>

namespace vdsim {

namespace {

// White space as the C library's "%s" conversion sees it.
bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string quoted(const std::string& token) {
  std::string out = "\"";
  for (unsigned char c : token) {
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      out += char(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out + "\"";
}

TokenReader::TokenReader(std::string name, std::string text)
    : name_(std::move(name)), text_(std::move(text)) {}

bool TokenReader::readFile(const std::string& path, std::string& text, std::string& error) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    error = path + ": cannot read: is a directory";
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "rt");
  if (!file) {
    error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  text.clear();
  char buf[4096];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, got);
  const bool bad = std::ferror(file);
  const int reason = errno;
  std::fclose(file);
  if (bad) {
    error = path + ": cannot read: " + std::strerror(reason);
    return false;
  }
  return true;
}

bool TokenReader::fail(const std::string& message) {
  if (error_.empty()) error_ = name_ + ":" + std::to_string(tokenLine_) + ": " + message;
  return false;
}

bool TokenReader::failFile(const std::string& message) {
  if (error_.empty()) error_ = name_ + ": " + message;
  return false;
}

bool TokenReader::take(std::string& token, bool& tooLong) {
  tooLong = false;
  if (failed()) return false;
  while (pos_ < text_.size() && isBlank(text_[pos_])) {
    if (text_[pos_] == '\n') ++line_;
    ++pos_;
  }
  if (pos_ >= text_.size()) return false;
  const std::size_t start = pos_;
  tokenLine_ = line_;
  while (pos_ < text_.size() && !isBlank(text_[pos_])) ++pos_;
  token.assign(text_, start, std::min(pos_ - start, std::size_t(24)));
  tooLong = pos_ - start > kMaxToken;
  if (!tooLong) token.assign(text_, start, pos_ - start);
  return !tooLong;
}

namespace {
std::string tooLongMessage(const std::string& start) {
  return "token longer than " + std::to_string(TokenReader::kMaxToken) +
         " characters: " + quoted(start) + "...";
}
}  // namespace

bool TokenReader::next(std::string& token) {
  bool tooLong;
  if (take(token, tooLong)) return true;
  if (tooLong) fail(tooLongMessage(token));
  return false;
}

bool TokenReader::value(const std::string& label, std::string& token) {
  bool tooLong;
  if (take(token, tooLong)) return true;
  if (failed()) return false;
  if (tooLong) return fail(label + ": " + tooLongMessage(token));
  return fail(label + ": file ends before this value");
}

bool TokenReader::key(const std::string& label) {
  std::string token;
  return value(label, token);
}

bool TokenReader::word(const std::string& label, std::string& value_) {
  return value(label, value_);
}

bool TokenReader::number(const std::string& label, float& result) {
  std::string token;
  if (!value(label, token)) return false;
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  const float parsed = std::strtof(begin, &end);
  if (end == begin || *end != '\0' || token.size() != std::strlen(begin)) {
    return fail(label + ": expected a number, found " + quoted(token));
  }
  if (!std::isfinite(parsed)) {
    return fail(label + ": expected a finite number, found " + quoted(token));
  }
  result = parsed;
  return true;
}

bool TokenReader::integer(const std::string& label, int& result) {
  std::string token;
  if (!value(label, token)) return false;
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(begin, &end, 0);
  if (end == begin || *end != '\0' || token.size() != std::strlen(begin)) {
    return fail(label + ": expected an integer, found " + quoted(token));
  }
  if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) {
    return fail(label + ": integer out of range: " + quoted(token));
  }
  result = int(parsed);
  return true;
}

}  // namespace vdsim
