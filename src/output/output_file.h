// An output file that appears whole or not at all.
//
// The rows of a run go to a new temporary file in the target's directory:
// an unnamed one where the file system allows it (O_TMPFILE), so that a run
// killed outright leaves nothing behind, else a hidden named one
// ("Data/.Output.csv.XXXXXX"). A commit has two stages: prepare() flushes and
// syncs the file and gives it a hidden name, publish() renames it onto the
// target, which is atomic within one directory; a reader, a second run or a
// crash never sees a file cut mid-row, and the previous output survives
// every end but a committed one. commitOutputs() prepares every file of a
// run before it renames any. The stream is line-buffered: each row reaches
// the file when its line ends, so a full disk is reported at the row that
// failed.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>

namespace vdsim {

class OutputFile {
 public:
  // The file that commit() will replace (or create). Without unnamedAllowed
  // the temporary file is a named one even where an unnamed one could be made.
  explicit OutputFile(std::string target, bool unnamedAllowed = true);
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
  // The temporary file's name; "" while it has none (an unnamed file before
  // prepare()).
  const std::string& temporaryPath() const { return temporary_; }

  // The SHA-256 of what has been written so far, read back from the file
  // ("" if it cannot be read).
  std::string digest();

  // Commit, first stage: checks that the target is still absent or a regular
  // file, flushes and syncs the temporary file, gives it the permissions a
  // newly created file gets and a hidden name beside the target, and closes
  // it. On failure removes it and sets error to one "target: reason" line.
  bool prepare(std::string& error);
  // Commit, second stage: renames the prepared file onto the target.
  bool publish(std::string& error);
  // Both stages.
  bool commit(std::string& error) { return prepare(error) && publish(error); }
  // Closes and removes the temporary file; the target stays as it was.
  void discard();

 private:
  std::string target_;
  std::string temporary_;
  std::FILE* stream_ = nullptr;
  bool unnamedAllowed_;
  bool unnamed_ = false;  // the temporary file has no name until prepare()
};

// Commits the outputs of one run together: every file is prepared before
// any is renamed, and they are renamed in the order given, so the last one
// appears last. A failure before the renames leaves every target as it was;
// one during them (a target changed in between) leaves those renamed before
// it replaced. The error says which.
bool commitOutputs(std::initializer_list<OutputFile*> files, std::string& error);

}  // namespace vdsim
