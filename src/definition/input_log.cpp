#include "definition/input_log.h"

#include <cctype>

#include "output/sha256.h"

namespace vdsim {

namespace {

// Letters and digits, lower-cased: "Spring_Rate" -> "springrate".
std::string folded(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c)) out += char(std::tolower(c));
  }
  return out;
}

}  // namespace

bool keyNamesItem(const std::string& key, const ItemInfo& item) {
  const std::string stem = folded(key.substr(0, key.find('(')));
  if (stem.empty()) return false;
  return stem == folded(item.field) || (item.key && stem == folded(item.key));
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
