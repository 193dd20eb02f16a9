// Output files appear whole, with the usual permissions, or not at all.
#include "output/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace vdsim {
namespace {

struct OutputFiles : testing::Test {
  std::string dir;
  void SetUp() override {
    char pattern[] = "/tmp/vdsim-output-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
  std::string path(const std::string& name) const { return dir + "/" + name; }
  std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
  }
  int entries() const {  // files in the directory, hidden ones included
    return std::system(("test $(ls -A '" + dir + "' | wc -l) -eq 1").c_str()) == 0 ? 1 : 0;
  }
};

TEST_F(OutputFiles, CommitReplacesTheTargetWholeWithAnOrdinaryMode) {
  write("out.csv", "earlier run\n");
  OutputFile file(path("out.csv"));
  std::string error;
  ASSERT_TRUE(file.create(error)) << error;
  std::fputs("row 1\n", file.stream());
  // Until the commit the earlier file is all a reader sees.
  EXPECT_EQ(read("out.csv"), "earlier run\n");
  EXPECT_NE(file.temporaryPath().find("/.out.csv."), std::string::npos);
  const mode_t mask = umask(022);
  ASSERT_TRUE(file.commit(error)) << error;
  umask(mask);
  EXPECT_EQ(read("out.csv"), "row 1\n");
  struct stat info;
  ASSERT_EQ(stat(path("out.csv").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(entries(), 1);  // no temporary file left
}

TEST_F(OutputFiles, DiscardOrDestructionLeavesTheTargetAsItWas) {
  write("out.csv", "earlier run\n");
  {
    OutputFile file(path("out.csv"));
    std::string error;
    ASSERT_TRUE(file.create(error)) << error;
    std::fputs("half a row", file.stream());
  }
  EXPECT_EQ(read("out.csv"), "earlier run\n");
  EXPECT_EQ(entries(), 1);
}

TEST_F(OutputFiles, OnlyARegularFileIsReplaced) {
  std::string error;
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(OutputFile(path("fifo")).create(error));
  EXPECT_EQ(error, path("fifo") + ": cannot create the output file: not a regular file (a FIFO, "
                                  "socket or device is in its place)");
  ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
  EXPECT_FALSE(OutputFile(path("dir")).create(error));
  EXPECT_EQ(error, path("dir") + ": cannot create the output file: Is a directory");
  EXPECT_FALSE(OutputFile(path("missing/out.csv")).create(error));
  EXPECT_EQ(error, path("missing/out.csv") +
                       ": cannot create the output file: No such file or directory");
}

TEST_F(OutputFiles, OfTwoWritersAtOnceTheLastCommitWinsWhole) {
  OutputFile first(path("out.csv")), second(path("out.csv"));
  std::string error;
  ASSERT_TRUE(first.create(error) && second.create(error)) << error;
  EXPECT_NE(first.temporaryPath(), second.temporaryPath());
  std::fputs("first\n", first.stream());
  std::fputs("second\n", second.stream());
  ASSERT_TRUE(second.commit(error)) << error;
  ASSERT_TRUE(first.commit(error)) << error;
  EXPECT_EQ(read("out.csv"), "first\n");
  EXPECT_EQ(entries(), 1);
}

}  // namespace
}  // namespace vdsim
