// Item descriptions: which keys name an item, and the field names shown.
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

TEST(InputLog, FieldNamesAreWrittenAsInTheCode) {
  EXPECT_EQ(fieldName("end_radius"), "endRadius");
  EXPECT_EQ(fieldName("springRate"), "springRate");
  EXPECT_EQ(fieldName("a_b_c"), "aBC");
}

TEST(InputLog, DigestsAreKeptOnlyWhenAskedAndWarningsNameFileAndLine) {
  InputLog log;
  log.read("a.ini", "abc");
  EXPECT_TRUE(log.digests.empty());
  log.keepDigests = true;
  log.read("a.ini", "abc");
  ASSERT_EQ(log.digests.size(), 1u);
  EXPECT_EQ(log.digests[0].sha256,
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  log.warn("Sedan.ini", 40, "a second [car] section replaces the one at line 2");
  EXPECT_EQ(log.warnings.back(), "Sedan.ini:40: a second [car] section replaces the one at line 2");
}

}  // namespace
}  // namespace vdsim
