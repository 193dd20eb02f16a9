#include "driver/progress.h"

#include <cstdio>

namespace vdsim {

ProgressLine::ProgressLine(bool enabled, std::chrono::steady_clock::time_point started)
    : enabled_(enabled), started_(started) {}

double ProgressLine::wallTime() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

bool ProgressLine::lookAtClock() {
  const double now = wallTime();
  if (now < nextShow_) return false;
  nextShow_ = now + kInterval;
  return true;
}

void ProgressLine::show(const std::string& text) {
  // Back to the line's start, the text, then erase what an older line left.
  std::fprintf(stderr, "\r%s\033[K", text.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void ProgressLine::clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

std::string progressText(double simulatedTime, const std::string& event, double wallTime) {
  char text[160];
  const double factor = wallTime > 0.0 ? simulatedTime / wallTime : 0.0;
  std::snprintf(text, sizeof text, "vdsim: %.1f s simulated, %s, %.*fx real time",
                simulatedTime, event.c_str(), factor < 10.0 ? 1 : 0, factor);
  return text;
}

}  // namespace vdsim
