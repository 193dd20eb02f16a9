// Output files appear whole, with the usual permissions, or not at all.
#include "output/output_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "output/sha256.h"

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

// With an unnamed temporary file and with a named one, where the file
// system has no unnamed ones.
TEST_F(OutputFiles, CommitReplacesTheTargetWholeWithAnOrdinaryMode) {
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "named");
    write("out.csv", "earlier run\n");
    OutputFile file(path("out.csv"), unnamed);
    std::string error;
    ASSERT_TRUE(file.create(error)) << error;
    EXPECT_EQ(file.temporaryPath().find("/.out.csv."), unnamed ? std::string::npos : dir.size());
    // Line-buffered: a row reaches the file when its line ends, not before.
    std::fputs("row 1\nrow", file.stream());
    struct stat info;
    ASSERT_EQ(fstat(fileno(file.stream()), &info), 0);
    EXPECT_EQ(info.st_size, 6);
    EXPECT_EQ(file.digest(), sha256Hex("row 1\nrow"));
    // Until the commit the earlier file is all a reader sees.
    EXPECT_EQ(read("out.csv"), "earlier run\n");
    const mode_t mask = umask(022);
    ASSERT_TRUE(file.prepare(error)) << error;
    umask(mask);
    EXPECT_EQ(file.temporaryPath().find("/.out.csv."), dir.size());
    EXPECT_EQ(read("out.csv"), "earlier run\n");
    ASSERT_TRUE(file.publish(error)) << error;
    EXPECT_EQ(read("out.csv"), "row 1\nrow");
    ASSERT_EQ(stat(path("out.csv").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(entries(), 1);  // no temporary file left
  }
}

TEST_F(OutputFiles, DiscardOrDestructionLeavesTheTargetAsItWas) {
  write("out.csv", "earlier run\n");
  for (const bool unnamed : {true, false}) {
    {
      OutputFile file(path("out.csv"), unnamed);
      std::string error;
      ASSERT_TRUE(file.create(error)) << error;
      std::fputs("half a row", file.stream());
    }
    {
      OutputFile file(path("out.csv"), unnamed);
      std::string error;
      ASSERT_TRUE(file.create(error) && file.prepare(error)) << error;
    }
    EXPECT_EQ(read("out.csv"), "earlier run\n");
    EXPECT_EQ(entries(), 1);
  }
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
  std::fputs("first\n", first.stream());
  std::fputs("second\n", second.stream());
  ASSERT_TRUE(first.prepare(error) && second.prepare(error)) << error;
  EXPECT_NE(first.temporaryPath(), second.temporaryPath());
  ASSERT_TRUE(second.publish(error)) << error;
  ASSERT_TRUE(first.publish(error)) << error;
  EXPECT_EQ(read("out.csv"), "first\n");
  EXPECT_EQ(entries(), 1);
}

// A run's outputs are all written before any is renamed: a target that
// cannot be replaced leaves every one of them as it was.
TEST_F(OutputFiles, AFailureBeforeTheRenamesLeavesEveryTargetAsItWas) {
  for (const char* name : {"a", "b", "c"}) write(name, std::string("old ") + name);
  for (int spoiled = 0; spoiled < 3; ++spoiled) {
    OutputFile a(path("a")), b(path("b")), c(path("c"));
    OutputFile* files[] = {&a, &b, &c};
    std::string error;
    for (OutputFile* file : files) {
      ASSERT_TRUE(file->create(error)) << error;
      std::fputs("new\n", file->stream());
    }
    // Something that is not a file takes the place of one target.
    const std::string target = files[spoiled]->target();
    ASSERT_EQ(rename(target.c_str(), path("saved").c_str()), 0);
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    EXPECT_FALSE(commitOutputs({&a, &b, &c}, error));
    EXPECT_EQ(error, target + ": cannot replace it: Is a directory; the previous outputs are left "
                              "as they were");
    ASSERT_EQ(rmdir(target.c_str()), 0);
    ASSERT_EQ(rename(path("saved").c_str(), target.c_str()), 0);
    EXPECT_EQ(read("a") + read("b") + read("c"), "old aold bold c");
    EXPECT_EQ(std::system(("test $(ls -A '" + dir + "' | wc -l) -eq 3").c_str()), 0);
  }
  OutputFile a(path("a")), b(path("b"));
  std::string error;
  ASSERT_TRUE(a.create(error) && b.create(error)) << error;
  std::fputs("new a", a.stream());
  std::fputs("new b", b.stream());
  ASSERT_TRUE(commitOutputs({&a, &b}, error)) << error;
  EXPECT_EQ(read("a") + read("b") + read("c"), "new anew bold c");
}

// A target that something replaces with a directory between the preparation
// and the rename: the rename fails, the commit says so, and the prepared file
// goes.
TEST_F(OutputFiles, ARenameThatFailsFailsThePublishingAndLeavesNoFile) {
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "named");
    OutputFile file(path("out.csv"), unnamed);
    std::string error;
    ASSERT_TRUE(file.create(error)) << error;
    std::fputs("new\n", file.stream());
    ASSERT_TRUE(file.prepare(error)) << error;
    ASSERT_EQ(mkdir(path("out.csv").c_str(), 0700), 0);
    EXPECT_FALSE(file.publish(error));
    EXPECT_EQ(error, path("out.csv") + ": write failed: Is a directory");
    EXPECT_EQ(entries(), 1);  // the directory alone
    ASSERT_EQ(rmdir(path("out.csv").c_str()), 0);
  }
}

// In a child process: text written to a new file, then a commit under a
// file-size limit of 8 bytes. Exits 0 when the commit fails with the reason
// expected (the limit applies to standard error too: no message).
void commitUnderASizeLimit(const std::string& target, const char* text, const char* reason) {
  std::signal(SIGXFSZ, SIG_IGN);
  OutputFile file(target);
  std::string error;
  if (!file.create(error)) std::_Exit(3);
  const rlimit limit = {8, 8};
  setrlimit(RLIMIT_FSIZE, &limit);
  std::fputs(text, file.stream());
  if (file.commit(error)) std::_Exit(1);
  std::_Exit(error == target + ": write failed: " + reason ? 0 : 2);
}

// The bytes still buffered at the commit must reach the file: a flush that
// fails there fails the commit, with its reason. A whole line that failed as
// it was written leaves nothing to flush, only the stream's error: the
// commit fails too, without a reason that belongs to another call (a new
// target's missing name).
TEST_F(OutputFiles, AWriteThatFailsBeforeOrAtTheCommitFailsIt) {
  write("out.csv", "earlier run\n");
  EXPECT_EXIT(commitUnderASizeLimit(path("out.csv"), "a row without its line end", "File too large"),
              testing::ExitedWithCode(0), "");
  EXPECT_EXIT(commitUnderASizeLimit(path("new.csv"), "a whole row, line end and all\n",
                                    "Input/output error"),
              testing::ExitedWithCode(0), "");
  EXPECT_EQ(read("out.csv"), "earlier run\n");
  EXPECT_EQ(entries(), 1);
}

}  // namespace
}  // namespace vdsim
