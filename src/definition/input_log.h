// What reading the input files notes besides a refusal: warnings, the digest
// of each file's bytes as read, and (for vdsim --check) every item read.
//
// Each item a reader reads is described once, by an ItemInfo: the field it
// sets, its unit and the key word the example files write before it. The
// readers hand that description to the TokenReader, which uses it in
// messages, compares the key as written against it, and notes the item here
// when asked to.
#pragma once

#include <string>
#include <vector>

namespace vdsim {

// One item of a section as the files describe it.
struct ItemInfo {
  const char* field;  ///< the field it sets ("springRate"; "end_speed" reads as endSpeed)
  const char* unit;   ///< its unit ("N/m"; "-" for a pure number)
  const char* key;    ///< key word the example files write before it ("spring"); nullptr: no key
};

// True when a key as written names the item: the key without its unit suffix
// ("spring(N/m)" -> "spring"), its letters and digits compared without case,
// equals the field's name or the item's key word.
bool keyNamesItem(const std::string& key, const ItemInfo& item);

// The field's name as the code writes it: "end_speed" -> "endSpeed".
std::string fieldName(const char* field);

// One item as read, for vdsim --check.
struct ReadItem {
  std::string file;    ///< file it was read from
  int line = 0;        ///< line of its first value
  std::string label;   ///< "[corner] 3, item 6"
  std::string key;     ///< the key as written; "" for an item without one
  std::string values;  ///< its values as read, separated by blanks
  std::string field;   ///< the field it sets ("springRate")
  std::string unit;    ///< its unit ("N/m")
  std::string note;    ///< why it is flagged; "" when it is not
};

// A file read, and the SHA-256 of its bytes as the reader read them.
struct ReadDigest {
  std::string file;
  std::string sha256;  ///< 64 hex digits
};

struct InputLog {
  bool keepItems = false;    ///< note every item read (vdsim --check)
  bool keepDigests = false;  ///< note each file's digest (the run record)
  std::vector<std::string> warnings;  ///< "file:line: text", in the order met
  std::vector<ReadItem> items;        ///< with keepItems: every item, in the order read
  std::vector<ReadDigest> digests;    ///< with keepDigests: every file, in the order read

  // Notes a warning about file at line.
  void warn(const std::string& file, int line, const std::string& text);
  // Notes that file was read as text.
  void read(const std::string& file, const std::string& text);
  // Items that are flagged.
  int flaggedCount() const;
};

}  // namespace vdsim
