// Numbers as text that reads back to the same value, for messages and the
// run record: the shortest "%g" form that does, in plain notation where one
// exists ("0.001", "500", "1e-09", "16.900002").
#pragma once

#include <string>

namespace vdsim {

// The shortest "%.Ng" text (N up to 9) that strtof reads back as value,
// plain where one of them is; "inf", "-inf" or "nan" for those.
std::string shortestText(float value);

// The same for a double, N up to 17.
std::string shortestText(double value);

}  // namespace vdsim
