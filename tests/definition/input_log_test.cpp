// Which keys name an item.
#include "definition/input_log.h"

#include <gtest/gtest.h>

namespace vdsim {
namespace {

TEST(InputLog, AKeyNamesItsItemByFieldOrKeyWordWithoutUnitOrCase) {
  const ItemInfo spring{"springRate", "N/m", "spring"};
  const ItemInfo ramp{"end_radius", "m", "endRadius"};
  const ItemInfo list{"gearRatio", "-", nullptr};
  struct Case {
    const char* key;
    const ItemInfo& item;
    bool names;
  } cases[] = {
      {"spring", spring, true},       {"spring(N/m)", spring, true},
      {"SpringRate", spring, true},   {"spring_rate(kN/m)", spring, true},
      {"damper(N*s/m)", spring, false}, {"springs", spring, false},
      {"(N/m)", spring, false},       {"#", spring, false},
      {"endRadius", ramp, true},      {"end_radius", ramp, true},
      {"ENDRADIUS(m)", ramp, true},   {"duration", ramp, false},
      {"radius", ramp, false},        {"gearRatio", list, true},
      {"gears", list, false},
  };
  for (const Case& c : cases) EXPECT_EQ(keyNamesItem(c.key, c.item), c.names) << c.key;
  // A NUL byte is a character of the key like any other.
  EXPECT_FALSE(keyNamesItem(std::string("spring\0 and more", 16), spring));
  EXPECT_TRUE(keyNamesItem(std::string("spring\0", 7), spring));
}

}  // namespace
}  // namespace vdsim
