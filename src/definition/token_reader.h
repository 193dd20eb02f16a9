// Whitespace-separated token reading for the input files.
//
// Every input file is a stream of tokens separated by white space; line breaks
// only separate. A TokenReader holds the whole text of one file, hands out
// tokens one at a time and converts them the way the C library's "%s", "%f"
// and "%i" conversions do. It also counts lines, so that a value which does
// not convert, a file cut short or an over-long token is reported as one
// "file:line: message" line naming the item.
//
// A section's items are read through item(), which takes the item's
// description: the key word is named in messages, the key as written is
// compared with it, and with an InputLog that keeps items every item is
// noted there as read. When the reader knows the section's other items
// (sectionItems()), a key that names one of them is how a missing or
// shifted line shows, and a later error in the section says so.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "definition/input_log.h"

namespace vdsim {

class TokenReader {
 public:
  static constexpr std::size_t kMaxToken = 63;  ///< longest token (characters)
  static constexpr std::size_t kMaxFileBytes = std::size_t(256) << 20;  ///< largest input file (bytes)

  // Reader over text that came from the file called name (used in messages).
  // A UTF-8 byte-order mark at the very start is skipped. Warnings and, when
  // it keeps them, the items read go to log if there is one.
  TokenReader(std::string name, std::string text, InputLog* log = nullptr);

  // Reads the whole file at path into text. Only a regular file of at most
  // kMaxFileBytes is read (a FIFO, device or directory is refused without
  // waiting on it). On failure sets error to a "path: ..." line and returns
  // false.
  static bool readFile(const std::string& path, std::string& text, std::string& error);

  // Next token of the scan; false at end of file or on an over-long token
  // (then failed() is set).
  bool next(std::string& token);

  // The items of the section being read, for messages; forgotten at the next
  // token of the scan.
  void sectionItems(const ItemInfo* items, int count);
  // Starts the next item of a section: label names it in messages
  // ("[corner] 3, item 6"), info describes it, values is the number of
  // values that follow. Reads its key token when info has a key word.
  bool item(std::string label, const ItemInfo& info, int values = 1);
  // The item's values, in order.
  bool word(std::string& value);  // "%s"
  bool number(float& value);      // "%f", finite only
  bool integer(int& value);       // "%i", base prefixes

  // Notes a warning at line (kept only with a log).
  void warn(int line, const std::string& text);

  // Sets the error to "name:line: message", line being that of the last
  // token read, and returns false.
  bool fail(const std::string& message);
  // The same for a given line.
  bool failAt(int line, const std::string& message);

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }
  // Line of the last token read (1 before the first).
  int line() const { return tokenLine_; }

 private:
  bool take(std::string& token, bool& tooLong);
  bool value(std::string& token);
  bool failValue(const std::string& expected, const std::string& token);
  std::string valueLabel() const;
  std::string shiftHint() const;
  void noteValue(const std::string& text);

  std::string name_;
  std::string text_;
  InputLog* log_;
  std::size_t pos_ = 0;
  int line_ = 1;       // line at the read position
  int tokenLine_ = 1;  // line of the last token
  std::string error_;
  // The item being read.
  std::string label_;
  ItemInfo info_{"", "-", nullptr};
  int valueCount_ = 0;
  int valueIndex_ = 0;
  // The items of the section being read, and its first key that names
  // another one of them than the item it stands before.
  const ItemInfo* sectionItems_ = nullptr;
  int sectionItemCount_ = 0;
  std::string strayKey_;
  int strayKeyLine_ = 0;
  ItemInfo strayKeyItem_{"", "-", nullptr};
};

// What a scan for section markers saw, so that the message for a missing
// section can say where the reader gave up: the last marker read, and the
// first token that looks like a marker but does not match one exactly
// ("[Corner]", "[power_train]").
class SectionScan {
 public:
  explicit SectionScan(std::initializer_list<const char*> markers) : markers_(markers) {}

  // Notes a token of the scan and its line.
  void saw(const std::string& token, int line);
  // The sentence that follows a missing section's message: "; line 30 has
  // "[Corner]" (...)", or "; the last section read is [car] at line 17", or
  // "; the file has no section marker".
  std::string whereItGaveUp() const;

 private:
  std::vector<const char*> markers_;
  std::string lastMarker_;
  int lastMarkerLine_ = 0;
  std::string nearMiss_;
  int nearMissLine_ = 0;
};

// A section marker that may stand more than once in a file, the later
// section replacing the earlier: each repeat is worth a warning, "Sedan.ini:40:
// a second [car] section replaces the one at line 2".
class SectionRepeats {
 public:
  // Notes the marker read by in at line.
  void saw(TokenReader& in, const std::string& marker, int line);

 private:
  int count_ = 0;  // sections seen
  int line_ = 0;   // line of the one in force
};

// Quotes a token for a message, with non-printing bytes escaped.
std::string quoted(const std::string& token);

}  // namespace vdsim
