// Fuzz target: arbitrary bytes as the contents of the tire file
// "Goodyear2692x7.pkj", through the same reader the car loader uses.
#include <cstddef>
#include <cstdint>
#include <string>

#include "definition/tire_coefficients.h"
#include "fuzz_checks.h"

using namespace vdsim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TireCoefficients tire;
  std::string error;
  InputLog log;
  log.keepItems = true;  // the --check path too
  const bool accepted = tire.readTireText("Goodyear2692x7.pkj", text, error, &log);
  fuzz::checkLog("Goodyear2692x7.pkj", log);
  if (!accepted) {
    fuzz::checkError("Goodyear2692x7.pkj", error);
    // A refused file leaves the record as it was: all zero here.
    for (float value : tire.values) {
      if (value != 0.0f) fuzz::fault("a refused file changed the record", "");
    }
    return 0;
  }
  for (float value : tire.values) fuzz::checkFinite(value, "tire coefficient");
  if (tire[TireCoefficients::frictionScaleX] != 0.85f) fuzz::fault("scale factors not set", "");
  for (int i = TireCoefficients::slipStiffnessScaleX; i < TireCoefficients::kCount; ++i) {
    if (tire[i] != 1.0f) fuzz::fault("scale factors not set", "");
  }
  return 0;
}
