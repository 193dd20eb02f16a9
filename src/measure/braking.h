// Braking (Brake): from the onset of full braking to the event's end.
//
//   onset       the first update that writes a full-brake pedal command; the
//               time, position and speed of the state it reads
//   path        the length of the path from onset to the event's end,
//               summed step by step in the horizontal plane
//   d(window)   the mean deceleration over a window of states,
//               (v_first - v_last) / (t_last - t_first)
//   stopping distance  path + v_end^2 / (2 d_end), d_end = d over the
//               event's last 0.1 s (since onset when braking was shorter)
//   mean deceleration  (v_onset - v_end) / (t_end - t_onset)
//   peak deceleration  the highest d over any 0.1 s after onset
//
// 0.1 s is round(0.1 / dt) steps, at least one. Memory: the speeds and times
// of the last 0.1 s of states, a ring of round(0.1 / dt) + 1 entries.
#pragma once

#include <cstddef>
#include <vector>

#include "measure/event_metrics.h"
#include "measure/step_view.h"

namespace vdsim {

class BrakingMeter {
 public:
  explicit BrakingMeter(float timeStep);
  void begin();
  void step(const StepView& view);
  // finished: the event's end was reached (its last state is the newest).
  void finish(EventMetrics& metrics, bool finished) const;

 private:
  struct Point {
    double time;   // s
    double speed;  // m/s
  };
  void push(const MeasuredState& state);
  const Point& oldest() const;
  const Point& newest() const;
  double windowDeceleration() const;

  std::size_t window_ = 1;   // steps in 0.1 s
  std::vector<Point> ring_;  // the last window + 1 states from onset on
  std::size_t next_ = 0;     // slot the next state goes to
  std::size_t count_ = 0;    // states in the ring
  bool braking_ = false;     // onset seen
  MeasuredState onset_;
  double path_ = 0.0;  // m
  double peak_ = 0.0;  // highest window deceleration; NaN until a full window (m/s^2)
};

}  // namespace vdsim
