// The tire coefficient file: 74 bare numbers in index order, nothing else.
//
// Line breaks carry no meaning and numbers after the 74th are ignored. The
// sixteen scale factors that follow in the record are not in the file; the
// loader sets them (frictionScaleX 0.85, the others 1.0).
#include <string>

#include "definition/tire_coefficients.h"
#include "definition/token_reader.h"

namespace vdsim {

namespace {

// Names of the file's values, by index, for messages.
// clang-format off
constexpr const char* kFileValueNames[TireCoefficients::kFileValues] = {
    "pCx1",  "pDx1",  "pDx2",  "pEx1",  "pEx2",  "pEx3",  "pEx4",  "pKx1",  "pKx2",  "pKx3",
    "pHx1",  "pHx2",  "pVx1",  "pVx2",  "nominalLoad", "nominalRadius",
    "pCy1",  "pDy1",  "pDy2",  "pDy3",  "pEy1",  "pEy2",  "pEy3",  "pEy4",  "pKy1",  "pKy2",
    "pKy3",  "pHy1",  "pHy2",  "pHy3",  "pVy1",  "pVy2",  "pVy3",  "pVy4",
    "qBz1",  "qBz2",  "qBz3",  "qBz4",  "qBz5",  "qBz9",  "qBz10", "qCz1",  "qDz1",  "qDz2",
    "qDz3",  "qDz4",  "qDz6",  "qDz7",  "qDz8",  "qDz9",  "qEz1",  "qEz2",  "qEz3",  "qEz4",
    "qEz5",  "qHz1",  "qHz2",  "qHz3",  "qHz4",
    "rBx1",  "rBx2",  "rCx1",  "rHx1",  "rBy1",  "rBy2",  "rBy3",  "rCy1",  "rHy1",  "rVy1",
    "rVy2",  "rVy3",  "rVy4",  "rVy5",  "rVy6",
};
// clang-format on

// Unit of the file's value i: the nominal load and radius have one, the
// Magic Formula coefficients are pure numbers.
const char* fileValueUnit(int i) {
  if (i == TireCoefficients::nominalLoad) return "N";
  if (i == TireCoefficients::nominalRadius) return "m";
  return "-";
}

}  // namespace

void TireCoefficients::setScaleFactors() {
  values[frictionScaleX] = 0.85f;
  for (int i = slipStiffnessScaleX; i <= corneringStiffnessScale; ++i) values[i] = 1.0f;
}

bool TireCoefficients::readTireText(const std::string& name, const std::string& text,
                                    std::string& error, InputLog* log) {
  TokenReader in(name, text, log);
  // Read into a scratch copy so that a bad file leaves the record as it was.
  float read[kFileValues];
  for (int i = 0; i < kFileValues; ++i) {
    const std::string label = "coefficient " + std::to_string(i) + " (" + kFileValueNames[i] + ")";
    const ItemInfo item{kFileValueNames[i], fileValueUnit(i), nullptr};
    if (!in.item(label, item) || !in.number(read[i])) {
      error = in.error();
      return false;
    }
  }
  // Anything after the 74th number is not looked at.
  for (int i = 0; i < kFileValues; ++i) values[i] = read[i];
  setScaleFactors();
  return true;
}

bool TireCoefficients::loadTireFile(const std::string& path, std::string& error,
                                    InputLog* log) {
  std::string text;
  if (!TokenReader::readFile(path, text, error)) return false;
  if (log) log->read(path, text);
  return readTireText(path, text, error, log);
}

}  // namespace vdsim
