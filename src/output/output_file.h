// An output file that appears whole or not at all.
//
// The rows of a run go to a new temporary file in the target's directory
// ("Data/.Output.csv.XXXXXX"); commit() renames it onto the target, which is
// atomic within one directory, so a reader, a second run or a crash never
// sees a file cut mid-row, and the previous output survives every end but a
// committed one. The stream is line-buffered: each row reaches the file when
// its line ends, so a full disk is reported at the row that failed.
#pragma once

#include <cstdio>
#include <string>

namespace vdsim {

class OutputFile {
 public:
  // The file that commit() will replace (or create).
  explicit OutputFile(std::string target);
  ~OutputFile();  // removes the temporary file unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Checks that the target is absent or a regular file (a FIFO, device or
  // directory there is refused before anything runs) and creates the
  // temporary file. On failure sets error to one "target: reason" line.
  bool create(std::string& error);

  // The stream to write to, after a successful create().
  std::FILE* stream() const { return stream_; }
  const std::string& target() const { return target_; }
  const std::string& temporaryPath() const { return temporary_; }

  // Flushes, syncs and closes the temporary file, gives it the permissions a
  // newly created file gets, and renames it onto the target. On failure
  // removes it and sets error to one "target: reason" line.
  bool commit(std::string& error);
  // Closes and removes the temporary file; the target stays as it was.
  void discard();

 private:
  std::string target_;
  std::string temporary_;
  std::FILE* stream_ = nullptr;
};

}  // namespace vdsim
