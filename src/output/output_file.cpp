#include "output/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "output/sha256.h"

namespace vdsim {

namespace {

// "dir/.name." for "dir/name": the start of a hidden name beside the target.
std::string hiddenPrefix(const std::string& target) {
  const std::size_t slash = target.rfind('/');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  return target.substr(0, start) + "." + target.substr(start) + ".";
}

// The directory of the target: "Data" for "Data/Output.csv", "." for "x".
std::string directoryOf(const std::string& target) {
  const std::size_t slash = target.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : target.substr(0, slash);
}

std::string failure(const std::string& target, const std::string& what, int reason) {
  return target + ": " + what + ": " + std::strerror(reason);
}

// Why a file at target could not be replaced by ours, or "" if it can.
std::string targetProblem(const std::string& target, const char* what) {
  struct stat info;
  if (::stat(target.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return "";
  if (S_ISDIR(info.st_mode)) return failure(target, what, EISDIR);
  return target + ": " + what +
         ": not a regular file (a FIFO, socket or device is in its place)";
}

// Six letters and digits, different at each call.
std::string randomSuffix() {
  static const char kChars[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uint64_t x = std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (std::uint64_t(::getpid()) << 32);
  std::string out;
  for (int i = 0; i < 6; ++i) {
    x ^= x << 13;  // xorshift64
    x ^= x >> 7;
    x ^= x << 17;
    out += kChars[x % (sizeof kChars - 1)];
  }
  return out;
}

}  // namespace

OutputFile::OutputFile(std::string target, bool unnamedAllowed)
    : target_(std::move(target)), unnamedAllowed_(unnamedAllowed) {}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::create(std::string& error) {
  // Whatever sits at the target is replaced only by a regular file: a FIFO
  // would block its reader's writer, a device or directory is not ours.
  error = targetProblem(target_, "cannot create the output file");
  if (!error.empty()) return false;
  // An unnamed file, linked into the directory only at the commit; usable
  // when /proc shows its descriptor as a path that linkat can follow.
  int fd = unnamedAllowed_
               ? ::open(directoryOf(target_).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666)
               : -1;
  if (fd >= 0 && ::access(("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK) != 0) {
    ::close(fd);
    fd = -1;
  }
  unnamed_ = fd >= 0;
  if (!unnamed_) {
    // Else a hidden named file, removed at every end but a commit.
    const std::string pattern = hiddenPrefix(target_) + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd = ::mkstemp(name.data());
    if (fd < 0) {
      error = failure(target_, "cannot create the output file", errno);
      return false;
    }
    temporary_ = name.data();
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  stream_ = ::fdopen(fd, "w");
  if (!stream_) {
    error = failure(target_, "cannot create the output file", errno);
    ::close(fd);
    discard();
    return false;
  }
  // One write per line: a row that cannot be written is known at once.
  std::setvbuf(stream_, nullptr, _IOLBF, 1 << 16);
  return true;
}

std::string OutputFile::digest() {
  if (!stream_ || std::fflush(stream_) != 0) return "";
  const int fd = ::fileno(stream_);
  Sha256 hash;
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return "";
    if (got == 0) break;
    hash.update(buffer, std::size_t(got));
    offset += got;
  }
  return hash.hex();
}

bool OutputFile::prepare(std::string& error) {
  if (!stream_) return false;
  std::string problem = targetProblem(target_, "cannot replace it");
  std::FILE* stream = stream_;
  stream_ = nullptr;
  const int fd = ::fileno(stream);
  int reason = 0;
  // A line that failed when it was written leaves the error indicator set
  // and nothing to flush; errno then says nothing about it (the stat above
  // may have left ENOENT there).
  errno = 0;
  if (problem.empty() && (std::fflush(stream) != 0 || std::ferror(stream))) {
    reason = errno ? errno : EIO;
  }
  // The file's contents reach the disk before its name does.
  if (problem.empty() && reason == 0 && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) {
    reason = errno;
  }
  if (problem.empty() && reason == 0 && unnamed_) {
    // A hidden name beside the target, for the rename.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const std::string prefix = hiddenPrefix(target_);
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string name = prefix + randomSuffix();
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        temporary_ = name;
        break;
      }
      if (errno != EEXIST) break;
    }
    if (temporary_.empty()) reason = errno ? errno : EEXIST;
  } else if (problem.empty() && reason == 0) {
    // mkstemp made it private; give it the mode a newly created file gets.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) reason = errno;
  }
  if (std::fclose(stream) != 0 && reason == 0 && problem.empty()) reason = errno;
  if (problem.empty() && reason != 0) problem = failure(target_, "write failed", reason);
  if (!problem.empty()) {
    error = problem;
    discard();
    return false;
  }
  return true;
}

bool OutputFile::publish(std::string& error) {
  if (stream_ || temporary_.empty()) return false;
  if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
    error = failure(target_, "write failed", errno);
    discard();
    return false;
  }
  temporary_.clear();
  return true;
}

void OutputFile::discard() {
  if (stream_) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
}

bool commitOutputs(std::initializer_list<OutputFile*> files, std::string& error) {
  for (OutputFile* file : files) {
    if (!file->prepare(error)) {
      for (OutputFile* other : files) other->discard();
      error += "; the previous outputs are left as they were";
      return false;
    }
  }
  std::string renamed;
  for (OutputFile* file : files) {
    if (!file->publish(error)) {
      for (OutputFile* other : files) other->discard();
      error += renamed.empty() ? "; the previous outputs are left as they were"
                               : "; " + renamed + " already replaced, the others left as they were";
      return false;
    }
    renamed += (renamed.empty() ? "" : ", ") + file->target();
  }
  return true;
}

}  // namespace vdsim
