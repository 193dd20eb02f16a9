// Token reading: conversions as "%f" and "%i" make them, line numbers, and
// the messages for what does not convert.
#include "definition/token_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "scratch_dir.h"

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

constexpr ItemInfo kCount{"count", "-", "count"};
constexpr ItemInfo kBare{"value", "-", nullptr};

TEST(TokenReader, IntegersTakeBasePrefixes) {
  TokenReader in("f.ini", "k 010 k 0x1A k -5 k 08");
  int v = 0;
  ASSERT_TRUE(in.item("i1", kCount) && in.integer(v));
  EXPECT_EQ(v, 8);
  ASSERT_TRUE(in.item("i2", kCount) && in.integer(v));
  EXPECT_EQ(v, 26);
  ASSERT_TRUE(in.item("i3", kCount) && in.integer(v));
  EXPECT_EQ(v, -5);
  EXPECT_FALSE(in.item("i4", kCount) && in.integer(v));
  EXPECT_EQ(in.error(), "f.ini:1: i4: expected an integer for count, found \"08\"");
}

TEST(TokenReader, NumbersAreFiniteFloatsRoundedOnce) {
  TokenReader in("f.ini", "0.1 -2.5e3 1e-50 3000000000 inf");
  float v = 0;
  ASSERT_TRUE(in.item("a", kBare, 5));
  ASSERT_TRUE(in.number(v));
  EXPECT_EQ(v, 0.1f);
  ASSERT_TRUE(in.number(v));
  EXPECT_EQ(v, -2500.0f);
  ASSERT_TRUE(in.number(v));  // underflows to zero, as "%f" gives
  EXPECT_EQ(v, 0.0f);
  ASSERT_TRUE(in.number(v));
  EXPECT_EQ(v, 3e9f);
  EXPECT_FALSE(in.number(v));
  EXPECT_EQ(in.error(), "f.ini:1: a, value 5 of 5: expected a finite number, found \"inf\"");
}

TEST(TokenReader, ReportsTheFirstProblemOnly) {
  TokenReader cut("f.ini", "count\n");
  float v;
  EXPECT_FALSE(cut.item("x", kCount) && cut.number(v));
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
  EXPECT_FALSE(nul.item("y", kCount) && nul.number(v));
  EXPECT_EQ(nul.error(), "f.ini:1: y: expected a number for count, found \"1\\x00x\"");
}

// A key that names another item of the section is how a missing line
// shows: a conversion error then says where the shift began.
TEST(TokenReader, AConversionErrorNamesTheKeyAndWhereTheKeysStoppedMatching) {
  const ItemInfo items[] = {{"speed", "m/s", "speed"},
                            {"end_radius", "m", "endRadius"},
                            {"duration", "s", "duration"}};
  const char* hint = " (line 2 has the key \"duration\" where endRadius was expected: is a line "
                     "missing above it?)";
  struct Case {
    const char* text;
    std::string error;
  } cases[] = {
      // The endRadius line is missing: its value is taken from the next one.
      {"speed 15\nduration 10\n# Out of the turn",
       std::string("f.ini:3: [event] 2, item 4: expected a number for duration, found \"Out\"") +
           hint},
      {"speed 15\nduration 10", std::string("f.ini:2: [event] 2, item 4: file ends before this "
                                            "value") + hint},
      // A remark, or keys of the writer's own: no hint.
      {"speed 15 # stiffer?\nendRadius 10 duration 2",
       "f.ini:1: [event] 2, item 3: expected a number for endRadius, found \"stiffer?\""},
      {"v 15 r 10 t x", "f.ini:1: [event] 2, item 4: expected a number for duration, found \"x\""},
      // Keys that name their items, with units, in any case.
      {"SPEED(m/s) 15\nend_radius(m) x",
       "f.ini:2: [event] 2, item 3: expected a number for endRadius, found \"x\""},
  };
  for (const Case& c : cases) {
    TokenReader in("f.ini", c.text);
    in.sectionItems(items, 3);
    float v;
    for (int i = 0; i < 3 && in.item("[event] 2, item " + std::to_string(i + 2), items[i]) &&
                    in.number(v);
         ++i) {
    }
    EXPECT_EQ(in.error(), c.error) << c.text;
  }
  // A key of an earlier section does not count: the scan between them
  // starts afresh.
  TokenReader in("f.ini", "[x] duration 1 [x] speed 2 endRadius q");
  in.sectionItems(items, 3);
  std::string t;
  float v;
  ASSERT_TRUE(in.next(t) && in.item("a", items[1]) && in.number(v));
  ASSERT_TRUE(in.next(t));
  in.sectionItems(items, 3);
  ASSERT_TRUE(in.item("b", items[0]) && in.number(v));
  EXPECT_FALSE(in.item("c", items[1]) && in.number(v));
  EXPECT_EQ(in.error(), "f.ini:1: c: expected a number for endRadius, found \"q\"");
}

// With a log that keeps them, every item is noted as read: where, the key
// as written, the values as converted, the field and unit, and a flag when
// the key names another item.
TEST(TokenReader, NotesEachItemAsReadAndFlagsAKeyThatNamesAnotherItem) {
  InputLog log;
  log.keepItems = true;
  TokenReader in("f.ini", "inertia(kg*m^2) 500 2e3\n 2200.5 count 010 dt 0.001\n 1 2", &log);
  const ItemInfo inertia{"inertia", "kg m^2", "inertia"}, step{"time_step", "s", "timeStep"};
  float v[3];
  int n;
  ASSERT_TRUE(in.item("[car], item 1", inertia, 3) && in.number(v[0]) && in.number(v[1]) &&
              in.number(v[2]));
  ASSERT_TRUE(in.item("[car], item 2", kCount) && in.integer(n));
  ASSERT_TRUE(in.item("[car], item 3", step) && in.number(v[0]));
  ASSERT_TRUE(in.item("[car], item 4", kBare, 2) && in.number(v[0]) && in.number(v[1]));
  ASSERT_EQ(log.items.size(), 4u);
  auto row = [&](int i) {
    const ReadItem& r = log.items[i];
    return r.file + ":" + std::to_string(r.line) + "|" + r.label + "|" + r.key + "|" + r.values +
           "|" + r.field + "|" + r.unit + "|" + r.note;
  };
  EXPECT_EQ(row(0), "f.ini:1|[car], item 1|inertia(kg*m^2)|500 2000 2200.5|inertia|kg m^2|");
  EXPECT_EQ(row(1), "f.ini:2|[car], item 2|count|8 (written 010)|count|-|");
  EXPECT_EQ(row(2), "f.ini:2|[car], item 3|dt|0.001|timeStep|s|the key does not name timeStep");
  EXPECT_EQ(row(3), "f.ini:3|[car], item 4||1 2|value|-|");
  EXPECT_EQ(log.flaggedCount(), 1);
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
  const ScratchDir scratch;
  const std::string dir = scratch.path() + "/";
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
