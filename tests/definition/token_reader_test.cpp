// Token reading: conversions as "%f" and "%i" make them, line numbers, and
// the messages for what does not convert.
#include "definition/token_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace vdsim {
namespace {

TEST(TokenReader, SplitsOnAnyBlankAndCountsLines) {
  TokenReader in("f.ini", std::string("a\tb\r\n\n  c\vd\fe", 13));
  std::string t;
  std::string seen;
  while (in.next(t)) seen += t + "@" + std::to_string(in.line()) + " ";
  EXPECT_EQ(seen, "a@1 b@1 c@3 d@3 e@3 ");
  EXPECT_FALSE(in.failed());
}

TEST(TokenReader, IntegersTakeBasePrefixes) {
  TokenReader in("f.ini", "k 010 k 0x1A k -5 k 08");
  int v = 0;
  ASSERT_TRUE(in.key("i1") && in.integer("i1", v));
  EXPECT_EQ(v, 8);
  ASSERT_TRUE(in.key("i2") && in.integer("i2", v));
  EXPECT_EQ(v, 26);
  ASSERT_TRUE(in.key("i3") && in.integer("i3", v));
  EXPECT_EQ(v, -5);
  EXPECT_FALSE(in.key("i4") && in.integer("i4", v));
  EXPECT_EQ(in.error(), "f.ini:1: i4: expected an integer, found \"08\"");
}

TEST(TokenReader, NumbersAreFiniteFloatsRoundedOnce) {
  TokenReader in("f.ini", "0.1 -2.5e3 1e-50 3000000000 inf");
  float v = 0;
  ASSERT_TRUE(in.number("a", v));
  EXPECT_EQ(v, 0.1f);
  ASSERT_TRUE(in.number("b", v));
  EXPECT_EQ(v, -2500.0f);
  ASSERT_TRUE(in.number("c", v));  // underflows to zero, as "%f" gives
  EXPECT_EQ(v, 0.0f);
  ASSERT_TRUE(in.number("d", v));
  EXPECT_EQ(v, 3e9f);
  EXPECT_FALSE(in.number("e", v));
  EXPECT_EQ(in.error(), "f.ini:1: e: expected a finite number, found \"inf\"");
}

TEST(TokenReader, ReportsTheFirstProblemOnly) {
  TokenReader cut("f.ini", "key\n");
  float v;
  EXPECT_FALSE(cut.key("x") && cut.number("x", v));
  EXPECT_EQ(cut.error(), "f.ini:1: x: file ends before this value");
  EXPECT_FALSE(cut.fail("later"));
  EXPECT_EQ(cut.error(), "f.ini:1: x: file ends before this value");

  TokenReader big("f.ini", "1\n2 " + std::string(70, 'z'));
  std::string t;
  EXPECT_TRUE(big.next(t));
  EXPECT_TRUE(big.next(t));
  EXPECT_FALSE(big.next(t));
  EXPECT_EQ(big.error(),
            "f.ini:2: token longer than 63 characters: \"zzzzzzzzzzzzzzzzzzzzzzzz\"...");

  TokenReader nul("f.ini", std::string("k 1\0x", 5));
  EXPECT_FALSE(nul.key("y") && nul.number("y", v));
  EXPECT_EQ(nul.error(), "f.ini:1: y: expected a number, found \"1\\x00x\"");
}

TEST(TokenReader, SkipsAByteOrderMarkAtTheStartOnly) {
  TokenReader in("f.ini", "\xEF\xBB\xBF[car] x\n\xEF\xBB\xBF");
  std::string t;
  ASSERT_TRUE(in.next(t));
  EXPECT_EQ(t, "[car]");
  ASSERT_TRUE(in.next(t));
  ASSERT_TRUE(in.next(t));
  EXPECT_EQ(t, "\xEF\xBB\xBF");  // elsewhere it is text
  EXPECT_EQ(in.line(), 2);
}

TEST(TokenReader, ReadsOnlyRegularFilesOfBoundedSize) {
  std::string text, error;
  const std::string dir = testing::TempDir();
  // A FIFO without a writer must not block the reader.
  const std::string fifo = dir + "token_reader_test.fifo";
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(TokenReader::readFile(fifo, text, error));
  EXPECT_EQ(error, fifo + ": not a regular file");
  EXPECT_FALSE(TokenReader::readFile("/dev/zero", text, error));
  EXPECT_EQ(error, "/dev/zero: not a regular file");
  EXPECT_FALSE(TokenReader::readFile(dir, text, error));
  EXPECT_EQ(error, dir + ": cannot read: is a directory");
  // A sparse file just over the limit is refused by its size alone.
  const std::string big = dir + "token_reader_test.big";
  std::FILE* file = std::fopen(big.c_str(), "w");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(ftruncate(fileno(file), off_t(TokenReader::kMaxFileBytes) + 1), 0);
  std::fclose(file);
  EXPECT_FALSE(TokenReader::readFile(big, text, error));
  EXPECT_EQ(error, big + ": larger than 256 MiB; an input file is a few kilobytes of text");
  std::remove(big.c_str());
  std::remove(fifo.c_str());
}

}  // namespace
}  // namespace vdsim
