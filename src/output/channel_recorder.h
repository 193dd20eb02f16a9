// The channel recorder: the run's time history in "Data/Output.csv".
//
// Each channel is a name and a live float in the Vehicle or the script. After
// every step sample() copies the averaged channels; every samplesPerRow
// samples it writes one row of their means (float sums, divided in double)
// after the instantaneous channels' current values, each cell "%f," (formatted
// by appendCell, one write a row). Nothing
// is recorded while the script's first event is current. The recorder writes
// to a stream it is given (an OutputFile's, in a run) and notes the first
// write that fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vdsim {

struct Vehicle;
class EventScript;

// Writes value as printf's "%f" does in round-to-nearest (six decimals;
// "inf", "-inf", "nan", "-nan"; "-0.000000"), then a comma, at out; returns
// the end. out must have room for kCellChars characters.
constexpr std::size_t kCellChars = 320;  ///< longest cell: sign, 309 digits, point, 6 places, comma
char* appendCell(char* out, double value);

class ChannelRecorder {
 public:
  static constexpr std::size_t kNameLength = 31;  ///< longest channel name kept

  ChannelRecorder(const Vehicle& vehicle, const EventScript& script, int samplesPerRow);
  ChannelRecorder(const ChannelRecorder&) = delete;
  ChannelRecorder& operator=(const ChannelRecorder&) = delete;

  void reserveAveraged(uint32_t n);
  void reserveInstant(uint32_t n);
  void addAveraged(const float* source, const char* name);
  void addInstant(const float* source, const char* name);
  // The run's 21 channels.
  void defineChannels();

  // Writes the header to stream, which stays the caller's; false if it fails.
  bool open(std::FILE* stream);
  void sample();
  // Flushes the stream and stops writing to it; false if any write failed.
  bool close();
  // True once a write has failed; writeError is then its errno.
  bool failed() const { return writeError != 0; }

  int writeError = 0;     ///< errno of the first failed write, 0 while all succeed
  uint64_t rowCount = 0;  ///< data rows written
  std::FILE* file = nullptr;
  const Vehicle& vehicle;
  const EventScript& script;
  int32_t samplesPerRow;
  int32_t sampleIndex = 0;
  std::vector<const float*> averagedSources;
  std::vector<std::vector<float>> sampleBuffers;
  std::vector<std::string> averagedNames;
  uint32_t averagedCount = 0;
  std::vector<const float*> instantSources;
  std::vector<std::string> instantNames;
  uint32_t instantCount = 0;
  std::vector<char> rowText;  ///< one row's text, sized for the channels reserved
};

}  // namespace vdsim
