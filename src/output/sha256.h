// SHA-256 (FIPS 180-4): the run record identifies each input and output
// file by it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vdsim {

class Sha256 {
 public:
  // Adds bytes to the message.
  void update(const void* data, std::size_t size);
  // The digest of the message so far, as 64 lower-case hexadecimal digits.
  std::string hex() const;

 private:
  std::uint32_t state_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char block_[64] = {};  // bytes not yet folded in
  std::size_t blockBytes_ = 0;
  std::uint64_t length_ = 0;      // message length (bytes)
};

// The digest of a byte string.
std::string sha256Hex(const std::string& bytes);

// The digest of the file at path, or "" if it cannot be read.
std::string sha256OfFile(const std::string& path);

}  // namespace vdsim
