#include "output/channel_recorder.h"

#include <cerrno>
#include <charconv>

#include "driver/event_script.h"
#include "dynamics/vehicle.h"

namespace vdsim {

char* appendCell(char* out, double value) {
  // std::to_chars writes what printf writes for "%f" in the "C" locale:
  // the exact decimal expansion rounded to six places, ties to even (as
  // printf rounds in round-to-nearest), and the same texts for infinities
  // and NaNs, signs included.
  const auto [end, error] =
      std::to_chars(out, out + kCellChars - 1, value, std::chars_format::fixed, 6);
  char* last = end;
  if (error != std::errc()) last = out + std::snprintf(out, kCellChars - 1, "%f", value);
  *last = ',';
  return last + 1;
}

ChannelRecorder::ChannelRecorder(const Vehicle& v, const EventScript& s, int rowSamples)
    : vehicle(v), script(s), samplesPerRow(rowSamples) {}

void ChannelRecorder::reserveAveraged(uint32_t n) {
  rowText.assign((std::size_t(instantSources.size()) + n) * kCellChars + 1, '\0');
  averagedSources.assign(n, nullptr);
  sampleBuffers.assign(n, std::vector<float>(samplesPerRow, 0.0f));
  averagedNames.assign(n, std::string());
  averagedCount = 0;
}

void ChannelRecorder::reserveInstant(uint32_t n) {
  rowText.assign((std::size_t(averagedSources.size()) + n) * kCellChars + 1, '\0');
  instantSources.assign(n, nullptr);
  instantNames.assign(n, std::string());
  instantCount = 0;
}

void ChannelRecorder::addAveraged(const float* source, const char* name) {
  averagedSources[averagedCount] = source;
  averagedNames[averagedCount] = std::string(name).substr(0, kNameLength);
  ++averagedCount;
}

void ChannelRecorder::addInstant(const float* source, const char* name) {
  instantSources[instantCount] = source;
  instantNames[instantCount] = std::string(name).substr(0, kNameLength);
  ++instantCount;
}

void ChannelRecorder::defineChannels() {
  const Vehicle& v = vehicle;
  reserveAveraged(20);
  reserveInstant(1);
  addAveraged(&v.groundSpeed, "Ground Speed (m/s)");
  addAveraged(&v.engineSpeed, "Engine Speed (rpm)");
  addAveraged(&v.acceleration.y, "Lat. Accel (m/s2)");
  addAveraged(&v.acceleration.x, "Long. Accel (m/s2)");
  addAveraged(&v.wheel[0].normalForce, "Normal Force LF (N)");
  addAveraged(&v.wheel[1].normalForce, "Normal Force RF (N)");
  addAveraged(&v.wheel[2].normalForce, "Normal Force LR (N)");
  addAveraged(&v.wheel[3].normalForce, "Normal Force RR (N)");
  addAveraged(&v.suspension[0].suspensionDeflection, "Suspension Deflection LF (m)");
  addAveraged(&v.suspension[1].suspensionDeflection, "Suspension Deflection  RF (m)");
  addAveraged(&v.suspension[2].suspensionDeflection, "Suspension Deflection LR (m)");
  addAveraged(&v.suspension[3].suspensionDeflection, "Suspension Deflection RR (m)");
  addAveraged(&v.suspension[0].mountForce, "Suspension Mount Force LF (N)");
  addAveraged(&v.suspension[1].mountForce, "Suspension Mount Force RF (N)");
  addAveraged(&v.suspension[2].mountForce, "Suspension Mount Force LR (N)");
  addAveraged(&v.suspension[3].mountForce, "Suspension Mount Force RR (N)");
  // These four columns carry the hub force magnitude (N) under their label.
  addAveraged(&v.suspension[0].hubForceMagnitude, "Suspension Mount Moment LF (Nm)");
  addAveraged(&v.suspension[1].hubForceMagnitude, "Suspension Mount Moment RF (Nm)");
  addAveraged(&v.suspension[2].hubForceMagnitude, "Suspension Mount Moment LR (Nm)");
  addAveraged(&v.suspension[3].hubForceMagnitude, "Suspension Mount Moment RR (Nm)");
  addInstant(&script.runTime, "Time (s)");
}

bool ChannelRecorder::open(std::FILE* stream) {
  file = stream;
  bool bad = false;
  for (uint32_t i = 0; i < instantCount; ++i) bad |= std::fprintf(file, "%s,", instantNames[i].c_str()) < 0;
  for (uint32_t i = 0; i < averagedCount; ++i) bad |= std::fprintf(file, "%s,", averagedNames[i].c_str()) < 0;
  bad |= std::fprintf(file, "\n") < 0;
  if (bad && writeError == 0) writeError = errno ? errno : EIO;
  return !bad;
}

void ChannelRecorder::sample() {
  for (uint32_t i = 0; i < averagedCount; ++i) sampleBuffers[i][sampleIndex] = *averagedSources[i];
  if (sampleIndex == samplesPerRow - 1) {
    // A full block: instantaneous values, then the means in float sums,
    // written as one row.
    char* end = rowText.data();
    for (uint32_t i = 0; i < instantCount; ++i) end = appendCell(end, double(*instantSources[i]));
    for (uint32_t i = 0; i < averagedCount; ++i) {
      float sum = 0.0f;
      for (int32_t k = 0; k < samplesPerRow; ++k) sum = float(double(sum) + sampleBuffers[i][k]);
      end = appendCell(end, double(sum) / samplesPerRow);
    }
    *end++ = '\n';
    const std::size_t length = std::size_t(end - rowText.data());
    // A line-buffered stream takes the row into its buffer and then fails
    // to write it out; fwrite still counts it written, the stream's error
    // indicator does not.
    errno = 0;
    const bool bad = std::fwrite(rowText.data(), 1, length, file) != length || std::ferror(file);
    if (bad && writeError == 0) writeError = errno ? errno : EIO;
    ++rowCount;
    sampleIndex = 0;
  } else if (script.currentEvent > 0) {
    ++sampleIndex;
  }
}

bool ChannelRecorder::close() {
  if (!file) return !failed();
  if ((std::fflush(file) != 0 || std::ferror(file)) && writeError == 0) {
    writeError = errno ? errno : EIO;
  }
  file = nullptr;
  return !failed();
}

}  // namespace vdsim
