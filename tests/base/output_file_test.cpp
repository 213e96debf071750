// Output files: the user's file is replaced only by a committed output, streams are written
// directly and write-only, and two names are recognised as one file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "base/output_file.h"
#include "tests/support/test_support.h"

namespace kes::test {
namespace {

std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename());
  return names;
}

TEST(OutputFile, TheTargetChangesOnlyWithCommit) {
  struct Case {
    const char* name;
    bool existing;
    bool commit;
  } cases[] = {{"new, committed", false, true},
               {"new, discarded", false, false},
               {"existing, committed", true, true},
               {"existing, discarded", true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string target = dir / "out.txt";
    if (c.existing) {
      WriteFileText(target, "old");
      ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    }
    std::set<std::string> before = Entries(dir.path());
    {
      OutputFile out;
      ASSERT_TRUE(out.Open(target));
      EXPECT_TRUE(out.Replacing());
      ASSERT_EQ(std::fputs("new", out.get()), 1);
      ASSERT_EQ(std::fflush(out.get()), 0);
      // Written but not committed: the user's file is still the old one.
      EXPECT_EQ(ReadFileText(target), c.existing ? "old" : "");
      EXPECT_EQ(ReadFileBytes(target).has_value(), c.existing);
      EXPECT_TRUE(!c.commit || out.Commit());
    }  // the destructor discards what was not committed
    std::set<std::string> expected = before;
    if (c.commit) expected.insert("out.txt");
    EXPECT_EQ(Entries(dir.path()), expected);
    EXPECT_EQ(ReadFileText(target), c.commit ? "new" : c.existing ? "old" : "");
    struct stat st;
    bool present = stat(target.c_str(), &st) == 0;
    EXPECT_EQ(present, c.commit || c.existing);
    EXPECT_TRUE(!c.existing || (st.st_mode & 0777) == 0640);  // the replacement keeps the mode
  }
}

TEST(OutputFile, ALinkStaysALinkAndItsFileIsReplaced) {
  TempDir dir;
  WriteFileText(dir / "real.txt", "old");
  ASSERT_EQ(symlink("real.txt", (dir / "link.txt").c_str()), 0);
  OutputFile out;
  ASSERT_TRUE(out.Open(dir / "link.txt"));
  std::fputs("new", out.get());
  ASSERT_TRUE(out.Commit());
  struct stat st;
  ASSERT_EQ(lstat((dir / "link.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFileText(dir / "real.txt"), "new");
}

TEST(OutputFile, StreamsAreWrittenDirectlyAndWriteOnly) {
  TempDir dir;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  int fifoReader = open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fifoReader, 0);
  struct Case {
    std::string path;
    int reader;
  } cases[] = {{"/proc/self/fd/" + std::to_string(fds[1]), fds[0]}, {dir / "fifo", fifoReader}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    OutputFile out;
    ASSERT_TRUE(out.Open(c.path));
    EXPECT_FALSE(out.Replacing());
    // A reader of its own pipe would never see the pipe's end.
    EXPECT_EQ(fcntl(fileno(out.get()), F_GETFL) & O_ACCMODE, O_WRONLY);
    std::fputs("abc", out.get());
    EXPECT_TRUE(out.Commit());
    char buffer[8] = {};
    EXPECT_EQ(read(c.reader, buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "abc");
  }
  close(fds[0]);
  close(fds[1]);
  close(fifoReader);
  EXPECT_EQ(Entries(dir.path()), (std::set<std::string>{"fifo"}));
}

TEST(OutputFile, AWriteErrorFailsTheCommit) {
  OutputFile out;
  ASSERT_TRUE(out.Open("/dev/full"));
  std::fputs("abc", out.get());
  EXPECT_FALSE(out.Commit());
}

TEST(OutputFile, CreateNewFileNeverClobbers) {
  TempDir dir;
  WriteFileText(dir / "mine.txt", "mine");
  EXPECT_EQ(CreateNewFile(dir / "mine.txt"), nullptr);
  EXPECT_EQ(ReadFileText(dir / "mine.txt"), "mine");
  std::FILE* fresh = CreateNewFile(dir / "fresh.txt");
  ASSERT_NE(fresh, nullptr);
  std::fclose(fresh);
  EXPECT_TRUE(ReadFileBytes(dir / "fresh.txt").has_value());
}

TEST(OutputFile, SameFileByIdentityOrNormalisedPath) {
  TempDir dir;
  MakeDirs(dir / "sub");
  WriteFileText(dir / "a.txt", "a");
  WriteFileText(dir / "b.txt", "b");
  ASSERT_EQ(link((dir / "a.txt").c_str(), (dir / "hard.txt").c_str()), 0);
  ASSERT_EQ(symlink("a.txt", (dir / "soft.txt").c_str()), 0);
  ASSERT_EQ(symlink("sub", (dir / "subLink").c_str()), 0);
  struct Case {
    std::string a, b;
    bool same;
  } cases[] = {
      {dir / "a.txt", dir / "a.txt", true},
      {dir / "a.txt", dir / "sub/../a.txt", true},
      {dir / "a.txt", dir / "hard.txt", true},
      {dir / "a.txt", dir / "soft.txt", true},
      {dir / "a.txt", dir / "b.txt", false},
      {dir / "new.txt", dir / "./new.txt", true},
      {dir / "new.txt", dir / "sub/../new.txt", true},
      {dir / "sub/new.txt", dir / "subLink/new.txt", true},
      {dir / "new.txt", dir / "other.txt", false},
      {dir / "a.txt", dir / "sub/a.txt", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a + " | " + c.b);
    EXPECT_EQ(SameFile(c.a, c.b), c.same);
  }
}

}  // namespace
}  // namespace kes::test
