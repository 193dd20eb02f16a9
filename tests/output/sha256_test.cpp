// SHA-256: the standard's examples, and the padding at every block boundary.
#include "output/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "scratch_dir.h"

namespace vdsim {
namespace {

TEST(Sha256, GivesTheStandardsDigests) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, PadsAtEveryBlockBoundary) {
  // 55 bytes leave room for the length in one block, 56 do not.
  const struct {
    std::size_t length;
    const char* digest;
  } cases[] = {
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
  };
  for (const auto& c : cases) EXPECT_EQ(sha256Hex(std::string(c.length, 'a')), c.digest) << c.length;
}

TEST(Sha256, PiecesAndFilesGiveTheWholeMessagesDigest) {
  const std::string message(1000, 'x');
  Sha256 pieces;
  for (std::size_t at = 0; at < message.size(); at += 7) {
    pieces.update(message.data() + at, std::min<std::size_t>(7, message.size() - at));
  }
  EXPECT_EQ(pieces.hex(), sha256Hex(message));
  EXPECT_EQ(pieces.hex(), pieces.hex());  // reading the digest changes nothing

  const ScratchDir dir;
  const std::string path = dir / "sha256_test.bin";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(message.data(), 1, message.size(), file);
  std::fclose(file);
  EXPECT_EQ(sha256OfFile(path), sha256Hex(message));
  EXPECT_EQ(sha256OfFile(path + ".missing"), "");
}

}  // namespace
}  // namespace vdsim
