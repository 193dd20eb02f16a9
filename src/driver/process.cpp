#include "driver/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

namespace vdsim {

namespace {

// The one piece of process-wide state: written by the signal handler, read
// by the loop. Nothing else is safe to do inside a handler.
volatile std::sig_atomic_t caughtSignal = 0;

extern "C" void noteStopSignal(int number) { caughtSignal = number; }

// Opens /dev/null on descriptor fd if it is closed.
void fillIfClosed(int fd) {
  if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) return;
  const int opened = ::open("/dev/null", O_RDWR);
  // open returns the lowest free descriptor, which is fd.
  if (opened >= 0 && opened != fd) {
    ::dup2(opened, fd);
    ::close(opened);
  }
}

}  // namespace

void prepareProcess() {
  for (int fd = 0; fd <= 2; ++fd) fillIfClosed(fd);
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action = {};
  action.sa_handler = noteStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // a write under way completes
  for (int number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(number, &action, nullptr);
}

int stopSignal() { return caughtSignal; }

}  // namespace vdsim
