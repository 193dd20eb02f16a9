#include "definition/token_reader.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "output/number_text.h"

namespace vdsim {

namespace {

// White space as the C library's "%s" conversion sees it.
bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string tooLargeMessage() {
  return "larger than " + std::to_string(TokenReader::kMaxFileBytes >> 20) +
         " MiB; an input file is a few kilobytes of text";
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

namespace {

// The letters and digits of a token, lower-cased: "[Power_Train]" -> "powertrain".
std::string letters(const std::string& token) {
  std::string out;
  for (unsigned char c : token) {
    if (std::isalnum(c)) out += char(std::tolower(c));
  }
  return out;
}

}  // namespace

void SectionScan::saw(const std::string& token, int line) {
  for (const char* marker : markers_) {
    if (token == marker) {
      lastMarker_ = token;
      lastMarkerLine_ = line;
      return;
    }
  }
  // A bracketed token spelled like a marker: a likely typing slip.
  if (!nearMiss_.empty() || token.find_first_of("[]") == std::string::npos) return;
  for (const char* marker : markers_) {
    if (letters(token) == letters(marker)) {
      nearMiss_ = token;
      nearMissLine_ = line;
      return;
    }
  }
}

std::string SectionScan::whereItGaveUp() const {
  if (!nearMiss_.empty()) {
    return "; line " + std::to_string(nearMissLine_) + " has " + quoted(nearMiss_) +
           "; section markers are matched exactly (lower case, no blanks)";
  }
  if (!lastMarker_.empty()) {
    return "; the last section read is " + lastMarker_ + " at line " +
           std::to_string(lastMarkerLine_);
  }
  return "; the file has no section marker at all";
}

void SectionRepeats::saw(TokenReader& in, const std::string& marker, int line) {
  if (++count_ > 1) {
    in.warn(line, std::string(count_ == 2 ? "a second " : "another ") + marker +
                      " section replaces the one at line " + std::to_string(line_));
  }
  line_ = line;
}

TokenReader::TokenReader(std::string name, std::string text, InputLog* log)
    : name_(std::move(name)), text_(std::move(text)), log_(log) {
  // A UTF-8 byte-order mark, as some editors write, is not part of the first token.
  if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;
}

bool TokenReader::readFile(const std::string& path, std::string& text, std::string& error) {
  // Non-blocking, so that opening a FIFO cannot wait for a writer; only a
  // regular file of bounded size is read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    error = path + ": cannot read: " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = path + (S_ISDIR(info.st_mode) ? ": cannot read: is a directory"
                                          : ": not a regular file");
    ::close(fd);
    return false;
  }
  if (std::uint64_t(info.st_size) > kMaxFileBytes) {
    error = path + ": " + tooLargeMessage();
    ::close(fd);
    return false;
  }
  // Read to the end, up to one byte beyond the limit: a file may grow (or,
  // under /proc, be longer than its size says).
  text.clear();
  char buf[65536];
  int reason = 0;
  for (;;) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) reason = errno;
    if (got <= 0) break;
    text.append(buf, std::size_t(got));
    if (text.size() > kMaxFileBytes) break;
  }
  ::close(fd);
  if (reason != 0) {
    error = path + ": cannot read: " + std::strerror(reason);
    return false;
  }
  if (text.size() > kMaxFileBytes) {
    error = path + ": " + tooLargeMessage();
    return false;
  }
  return true;
}

bool TokenReader::fail(const std::string& message) { return failAt(tokenLine_, message); }

bool TokenReader::failAt(int line, const std::string& message) {
  if (error_.empty()) error_ = name_ + ":" + std::to_string(line) + ": " + message;
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
  // A token of the scan lies between sections.
  sectionItems_ = nullptr;
  sectionItemCount_ = 0;
  strayKeyLine_ = 0;
  bool tooLong;
  if (take(token, tooLong)) return true;
  if (tooLong) fail(tooLongMessage(token));
  return false;
}

void TokenReader::warn(int line, const std::string& text) {
  if (log_) log_->warn(name_, line, text);
}

void TokenReader::sectionItems(const ItemInfo* items, int count) {
  sectionItems_ = items;
  sectionItemCount_ = count;
}

bool TokenReader::item(std::string label, const ItemInfo& info, int values) {
  label_ = std::move(label);
  info_ = info;
  valueCount_ = values;
  valueIndex_ = 0;
  std::string key;
  if (info.key) {
    if (!value(key)) return false;
    // A key that names another item of the section: a line shifted.
    if (strayKeyLine_ == 0 && !keyNamesItem(key, info)) {
      for (int i = 0; i < sectionItemCount_; ++i) {
        if (sectionItems_[i].key && keyNamesItem(key, sectionItems_[i])) {
          strayKey_ = key;
          strayKeyLine_ = tokenLine_;
          strayKeyItem_ = info;
          break;
        }
      }
    }
  }
  if (log_ && log_->keepItems) {
    ReadItem read;
    read.file = name_;
    read.line = tokenLine_;  // the key's; for an item without one, its first value's below
    read.label = label_;
    read.key = key;
    read.field = fieldName(info.field);
    read.unit = info.unit;
    if (info.key && !keyNamesItem(key, info)) {
      read.note = "the key does not name " + std::string(info.key);
    }
    log_->items.push_back(std::move(read));
  }
  return true;
}

// "[car], item 1" or, for one value of several, "[car], item 1, value 2 of 3".
std::string TokenReader::valueLabel() const {
  if (valueCount_ <= 1) return label_;
  return label_ + ", value " + std::to_string(valueIndex_ + 1) + " of " +
         std::to_string(valueCount_);
}

// When a key of this section named another item, the likely cause.
std::string TokenReader::shiftHint() const {
  if (strayKeyLine_ == 0) return "";
  return " (line " + std::to_string(strayKeyLine_) + " has the key " + quoted(strayKey_) +
         " where " + strayKeyItem_.key + " was expected: is a line missing above it?)";
}

bool TokenReader::value(std::string& token) {
  bool tooLong;
  if (take(token, tooLong)) return true;
  if (failed()) return false;
  if (tooLong) return fail(valueLabel() + ": " + tooLongMessage(token));
  return fail(valueLabel() + ": file ends before this value" + shiftHint());
}

bool TokenReader::failValue(const std::string& expected, const std::string& token) {
  const std::string forKey = info_.key ? std::string(" for ") + info_.key : "";
  return fail(valueLabel() + ": " + expected + forKey + ", found " + quoted(token) + shiftHint());
}

// Adds a value's text to the item being noted.
void TokenReader::noteValue(const std::string& text) {
  if (!log_ || !log_->keepItems || log_->items.empty()) return;
  ReadItem& read = log_->items.back();
  if (!info_.key && read.values.empty()) read.line = tokenLine_;
  if (!read.values.empty()) read.values += ' ';
  read.values += text;
}

bool TokenReader::word(std::string& result) {
  if (!value(result)) return false;
  ++valueIndex_;
  noteValue(result);
  return true;
}

bool TokenReader::number(float& result) {
  std::string token;
  if (!value(token)) return false;
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  const float parsed = std::strtof(begin, &end);
  if (end == begin || *end != '\0' || token.size() != std::strlen(begin)) {
    return failValue("expected a number", token);
  }
  if (!std::isfinite(parsed)) return failValue("expected a finite number", token);
  result = parsed;
  ++valueIndex_;
  if (log_ && log_->keepItems) noteValue(shortestText(parsed));
  return true;
}

bool TokenReader::integer(int& result) {
  std::string token;
  if (!value(token)) return false;
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(begin, &end, 0);
  if (end == begin || *end != '\0' || token.size() != std::strlen(begin)) {
    return failValue("expected an integer", token);
  }
  if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) {
    return fail(valueLabel() + ": integer out of range: " + quoted(token));
  }
  result = int(parsed);
  ++valueIndex_;
  if (log_ && log_->keepItems) {
    // "010" is eight: show what was written when it reads otherwise.
    const std::string shown = std::to_string(result);
    noteValue(shown == token ? shown : shown + " (written " + token + ")");
  }
  return true;
}

}  // namespace vdsim
