// Checks shared by the fuzz targets of the file readers.
//
// A reader either accepts its text or refuses it with one "file:line: message"
// (or "file: message") line. Any other outcome is a fault: the fuzz target
// then aborts, and libFuzzer keeps the input that caused it.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "definition/input_log.h"

namespace vdsim {
namespace fuzz {

// Stops the fuzzer with a reason; libFuzzer reports the abort as a crash.
[[noreturn]] inline void fault(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz check failed: %s: %s\n", what, detail.c_str());
  std::abort();
}

// A refusal is one printable line that starts with the file's name.
inline void checkError(const std::string& name, const std::string& error) {
  if (error.empty()) fault("refused without a message", name);
  if (error.compare(0, name.size() + 1, name + ":") != 0) {
    fault("message does not start with the file name", error);
  }
  for (unsigned char c : error) {
    if (c < 0x20 || c == 0x7f) fault("message holds a line end or control byte", error);
  }
}

// Warnings are lines as refusals are; every item noted says where it was read.
inline void checkLog(const std::string& name, const InputLog& log) {
  for (const std::string& warning : log.warnings) checkError(name, warning);
  for (const ReadItem& item : log.items) {
    if (item.file != name || item.line < 1 || item.label.empty() || item.field.empty()) {
      fault("an item noted without its place", item.label);
    }
  }
}

inline void checkFinite(float value, const char* what) {
  if (!std::isfinite(value)) fault("accepted a value that is not finite", what);
}

}  // namespace fuzz
}  // namespace vdsim
