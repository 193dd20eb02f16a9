// The metrics measured for one event: each a name with its unit and a value,
// or no value and the reason why.
#pragma once

#include <vector>

namespace vdsim {

struct Metric {
  const char* key;     ///< name ending in its unit ("stopping_distance_m")
  double value;        ///< the value; NaN when there is none
  const char* reason;  ///< why there is no value; nullptr when there is one
  bool single;         ///< a float of the state as it stands, shown as a float
};

struct EventMetrics {
  int number = 0;              ///< the event's "[event]" section, from 1
  bool ran = false;            ///< it became current before the run ended
  std::vector<Metric> values;  ///< in the order measured

  // Adds a value; one that is not finite is added as missing with reason.
  void set(const char* key, double value, const char* reason = "not a finite number");
  // Adds a float read from the state as it is (a time, a position, a speed).
  void set(const char* key, float value, const char* reason = "not a finite number");
  // Adds a missing value.
  void none(const char* key, const char* reason);
  // The metric named key, or nullptr.
  const Metric* find(const char* key) const;
};

}  // namespace vdsim
