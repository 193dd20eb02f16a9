// When a signal first reached a level that is known only after the signal
// has ended (90 % of a steady state, say). Between two consecutive states
// (t0, y0) and (t1, y1) with y0 < level <= y1 the crossing is
//   t = t0 + (level - y0) / (y1 - y0) (t1 - t0).
// Only the steps that raise the running maximum are kept, each with the
// state before it: the first crossing of any level lies in one of them. For
// a step response that is the rise up to the first peak, a few hundred steps;
// a signal that rises for its whole length keeps every step.
#pragma once

#include <vector>

namespace vdsim {

class RiseTrace {
 public:
  RiseTrace() { rises_.reserve(1024); }

  void clear();
  // One step, from the state (t0, y0) to the state (t1, y1).
  void add(double t0, double y0, double t1, double y1);

  // The time the signal first reached level, interpolated; NaN if it never
  // did. A level already reached by the first state gives its time.
  double firstReached(double level) const;
  bool empty() const { return rises_.empty(); }
  double peak() const { return rises_.back().y1; }      ///< highest value (needs !empty())
  double peakTime() const { return rises_.back().t1; }  ///< its first time

 private:
  struct Rise {
    double t0, y0, t1, y1;
  };
  std::vector<Rise> rises_;  // in time order, y1 strictly rising
};

}  // namespace vdsim
