#include "definition/input_log.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "output/sha256.h"

namespace vdsim {

namespace {

// ASCII only, inline: every key of every input passes here.
bool isLetterOrDigit(char c) {
  const char lower = char(c | 0x20);
  return (c >= '0' && c <= '9') || (lower >= 'a' && lower <= 'z');
}
char lowerCase(char c) { return c >= 'A' && c <= 'Z' ? char(c | 0x20) : c; }

// True when the letters and digits of [a, aEnd) and of the string b are the
// same, case ignored: "Spring_Rate" and "springRate".
bool sameLetters(const char* a, const char* aEnd, const char* b) {
  for (;;) {
    while (a != aEnd && !isLetterOrDigit(*a)) ++a;
    while (*b != '\0' && !isLetterOrDigit(*b)) ++b;
    if (a == aEnd || *b == '\0') return a == aEnd && *b == '\0';
    if (lowerCase(*a++) != lowerCase(*b++)) return false;
  }
}

// True when [a, aEnd) is the string b exactly: the common case, first.
bool same(const char* a, const char* aEnd, const char* b) {
  const std::size_t length = std::size_t(aEnd - a);  // a key may hold a NUL byte
  return std::strlen(b) == length && std::memcmp(a, b, length) == 0;
}

}  // namespace

bool keyNamesItem(const std::string& key, const ItemInfo& item) {
  const char* begin = key.c_str();
  const char* end = begin + std::min(key.find('('), key.size());  // without the unit
  if (item.key && same(begin, end, item.key)) return true;
  if (std::none_of(begin, end, isLetterOrDigit)) return false;
  return sameLetters(begin, end, item.field) || (item.key && sameLetters(begin, end, item.key));
}

std::string fieldName(const char* field) {
  std::string out;
  bool upper = false;
  for (const char* c = field; *c; ++c) {
    if (*c == '_') {
      upper = true;
    } else {
      out += upper ? char(std::toupper(static_cast<unsigned char>(*c))) : *c;
      upper = false;
    }
  }
  return out;
}

void InputLog::warn(const std::string& file, int line, const std::string& text) {
  warnings.push_back(file + ":" + std::to_string(line) + ": " + text);
}

void InputLog::read(const std::string& file, const std::string& text) {
  if (keepDigests) digests.push_back({file, sha256Hex(text)});
}

int InputLog::flaggedCount() const {
  int count = 0;
  for (const ReadItem& item : items) count += !item.note.empty();
  return count;
}

}  // namespace vdsim
