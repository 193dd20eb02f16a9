// The progress line of a long run at a terminal: "vdsim: 12.3 s simulated,
// Events.ini:20 SteerRamp, 41x real time", rewritten in place, erased at
// the end.
//
// The stepping loop calls due() once a step; it reads the clock only every
// kStepsPerLook steps, so the line costs a run nothing measurable. The first
// line appears after kFirstShow of wall time, later ones every kInterval.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vdsim {

class ProgressLine {
 public:
  static constexpr std::uint32_t kStepsPerLook = 1024;  ///< steps between looks at the clock
  static constexpr double kFirstShow = 1.0;             ///< wall time before the first line (s)
  static constexpr double kInterval = 0.25;             ///< wall time between lines (s)

  // A line that shows only when enabled (standard error is a terminal and
  // --quiet was not given); wall time counts from started.
  ProgressLine(bool enabled, std::chrono::steady_clock::time_point started);

  // True when a new line is due; once a step.
  bool due() {
    return enabled_ && (++steps_ & (kStepsPerLook - 1)) == 0 && lookAtClock();
  }
  // Wall time since the start (s).
  double wallTime() const;
  // Writes text in place of the line shown before.
  void show(const std::string& text);
  // Erases the line, if one is shown; before any other message.
  void clear();

 private:
  bool lookAtClock();

  bool enabled_;
  bool shown_ = false;
  std::uint32_t steps_ = 0;
  std::chrono::steady_clock::time_point started_;
  double nextShow_ = kFirstShow;  // wall time of the next line (s)
};

// The line's text: simulated time, the running event, real-time factor.
std::string progressText(double simulatedTime, const std::string& event, double wallTime);

}  // namespace vdsim
