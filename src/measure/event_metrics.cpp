#include "measure/event_metrics.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace vdsim {

void EventMetrics::set(const char* key, double value, const char* reason) {
  if (std::isfinite(value)) {
    values.push_back({key, value, nullptr, false});
  } else {
    none(key, reason);
  }
}

void EventMetrics::set(const char* key, float value, const char* reason) {
  set(key, double(value), reason);
  values.back().single = true;
}

void EventMetrics::none(const char* key, const char* reason) {
  values.push_back({key, std::numeric_limits<double>::quiet_NaN(), reason, false});
}

const Metric* EventMetrics::find(const char* key) const {
  for (const Metric& m : values) {
    if (std::strcmp(m.key, key) == 0) return &m;
  }
  return nullptr;
}

}  // namespace vdsim
