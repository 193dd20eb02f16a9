#include "driver/input_check.h"

#include <algorithm>
#include <string>
#include <vector>

namespace vdsim {

namespace {

constexpr std::size_t kMaxColumn = 56;  // a wider cell is not padded

std::string where(const ReadItem& item) {
  return item.file + ":" + std::to_string(item.line) + ": " + item.label;
}

// Text of a file shown on a terminal: control bytes escaped ("\x1b"), the
// rest as written.
std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else {
      out += char(c);
    }
  }
  return out;
}

// The key column: the key as written, or a note that the item has none.
std::string keyShown(const ReadItem& item) {
  return item.key.empty() ? "(no key)" : printable(item.key);
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

void printCheckedItems(std::FILE* out, const InputLog& log) {
  const std::vector<ReadItem>& items = log.items;
  // Columns aligned within each file's lines.
  for (std::size_t first = 0, end = 0; first < items.size(); first = end) {
    std::size_t whereWidth = 0, keyWidth = 0, valueWidth = 0;
    for (end = first; end < items.size() && items[end].file == items[first].file; ++end) {
      whereWidth = std::max(whereWidth, std::min(where(items[end]).size(), kMaxColumn));
      keyWidth = std::max(keyWidth, std::min(keyShown(items[end]).size(), kMaxColumn));
      valueWidth = std::max(valueWidth, std::min(printable(items[end].values).size(), kMaxColumn));
    }
    for (std::size_t i = first; i < end; ++i) {
      const ReadItem& item = items[i];
      std::string line = padded(where(item), whereWidth) + "  " +
                         padded(keyShown(item), keyWidth) + "  " +
                         padded(printable(item.values), valueWidth) + "  -> " + item.field + " (" +
                         item.unit + ")";
      if (!item.note.empty()) line += "  <- " + item.note;
      std::fprintf(out, "%s\n", line.c_str());
    }
  }
  const int flagged = log.flaggedCount();
  const std::size_t warnings = log.warnings.size();
  const std::size_t files = log.digests.size();
  std::fprintf(out, "%zu file%s read, %zu items, %d flagged, %zu warning%s\n", files,
               files == 1 ? "" : "s", items.size(), flagged, warnings, warnings == 1 ? "" : "s");
}

}  // namespace vdsim
