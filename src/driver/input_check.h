// vdsim --check: every item of the inputs as it was read, one line each.
//
//   Events.ini:18: [car], item 2      timeStep  0.001  -> timeStep (s)
//   Events.ini:40: [event] 2 (SteerRamp), item 5  duration  10  -> endRadius (m)  <- ...
//
// that is where it was read, the section and item, the key as written ("(no
// key)" for a bare list or a tire coefficient), the value(s) as read, and the
// field it sets with its unit; an item whose key does not name it (or the
// kind of an ignored event) is flagged at the end of its line.
#pragma once

#include <cstdio>

#include "definition/input_log.h"

namespace vdsim {

// Writes the items of log to out, columns aligned, then one summary line
// ("4 files read, 158 items, 1 flagged, 0 warnings"; the files are those
// whose digests log kept).
void printCheckedItems(std::FILE* out, const InputLog& log);

}  // namespace vdsim
