#include "measure/rise_trace.h"

#include <algorithm>
#include <limits>

namespace vdsim {

void RiseTrace::clear() { rises_.clear(); }

void RiseTrace::add(double t0, double y0, double t1, double y1) {
  if (rises_.empty() || y1 > rises_.back().y1) rises_.push_back({t0, y0, t1, y1});
}

double RiseTrace::firstReached(double level) const {
  // The first step whose end reaches the level (ends rise strictly).
  const auto at = std::lower_bound(rises_.begin(), rises_.end(), level,
                                   [](const Rise& r, double l) { return r.y1 < l; });
  if (at == rises_.end()) return std::numeric_limits<double>::quiet_NaN();
  if (at->y0 >= level) return at->t0;  // reached before this step began
  return at->t0 + (level - at->y0) / (at->y1 - at->y0) * (at->t1 - at->t0);
}

}  // namespace vdsim
