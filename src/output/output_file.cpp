#include "output/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vdsim {

namespace {

// "dir/.name.XXXXXX" for "dir/name": hidden, beside the target.
std::string temporaryPattern(const std::string& target) {
  const std::size_t slash = target.rfind('/');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  return target.substr(0, start) + "." + target.substr(start) + ".XXXXXX";
}

std::string failure(const std::string& target, const std::string& what, int reason) {
  return target + ": " + what + ": " + std::strerror(reason);
}

}  // namespace

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::create(std::string& error) {
  // Whatever sits at the target is replaced only by a regular file: a FIFO
  // would block its reader's writer, a device or directory is not ours.
  struct stat info;
  if (::stat(target_.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? failure(target_, "cannot create the output file", EISDIR)
                                  : target_ + ": cannot create the output file: not a regular "
                                              "file (a FIFO, socket or device is in its place)";
    return false;
  }
  const std::string pattern = temporaryPattern(target_);
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    error = failure(target_, "cannot create the output file", errno);
    return false;
  }
  temporary_ = name.data();
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
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

bool OutputFile::commit(std::string& error) {
  if (!stream_) return false;
  std::FILE* stream = stream_;
  stream_ = nullptr;
  const int fd = ::fileno(stream);
  int reason = 0;
  if (std::fflush(stream) != 0 || std::ferror(stream)) reason = errno ? errno : EIO;
  // The file's contents reach the disk before its name does.
  if (reason == 0 && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) reason = errno;
  // mkstemp made it private; give it the mode a newly created file gets.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (reason == 0 && ::fchmod(fd, 0666 & ~mask) != 0) reason = errno;
  if (std::fclose(stream) != 0 && reason == 0) reason = errno;
  if (reason == 0 && std::rename(temporary_.c_str(), target_.c_str()) != 0) reason = errno;
  if (reason != 0) {
    error = failure(target_, "write failed", reason);
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

}  // namespace vdsim
