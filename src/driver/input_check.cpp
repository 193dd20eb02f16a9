#include "driver/input_check.h"

#include <algorithm>
#include <string>

namespace vdsim {

namespace {

constexpr std::size_t kMaxColumn = 56;  // a wider cell is not padded

std::string where(const ReadItem& item) {
  return item.file + ":" + std::to_string(item.line) + ": " + item.label;
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

void printCheckedItems(std::FILE* out, const InputLog& log) {
  std::size_t whereWidth = 0, keyWidth = 0, valueWidth = 0;
  for (const ReadItem& item : log.items) {
    whereWidth = std::max(whereWidth, std::min(where(item).size(), kMaxColumn));
    keyWidth = std::max(keyWidth, std::min(item.key.size(), kMaxColumn));
    valueWidth = std::max(valueWidth, std::min(item.values.size(), kMaxColumn));
  }
  for (const ReadItem& item : log.items) {
    std::string line = padded(where(item), whereWidth) + "  " + padded(item.key, keyWidth) +
                       "  " + padded(item.values, valueWidth) + "  -> " + item.field + " (" +
                       item.unit + ")";
    if (!item.note.empty()) line += "  <- " + item.note;
    std::fprintf(out, "%s\n", line.c_str());
  }
  const int flagged = log.flaggedCount();
  const std::size_t warnings = log.warnings.size();
  std::fprintf(out, "%zu files read, %zu items, %d flagged, %zu warning%s\n", log.digests.size(),
               log.items.size(), flagged, warnings, warnings == 1 ? "" : "s");
}

}  // namespace vdsim
