// The debug log: level masking, the fixed prefix, the screen and the log file.
#include <gtest/gtest.h>

#include "base/console.h"
#include "base/debug_log.h"
#include "tests/app/in_process.h"

namespace kes::test {
namespace {

class DebugLogTest : public InProcessTest {};

TEST_F(DebugLogTest, LevelOneIsAlwaysOnAndTheOthersFollowTheConfiguredLevel) {
  struct Case {
    bool screen;
    bool levelGiven;
    uint32_t level;
    std::string expected;
  } cases[] = {
      {false, false, 1, ""},  // logging off
      {true, false, 1, "[main.cpp(9094)] one\n"},
      {false, true, 2, "[main.cpp(9094)] one\n[main.cpp(9098)] two\n"},
      {false, true, 4, "[main.cpp(9094)] one\n[main.cpp(9102)] four\n"},
      {true, true, 8, "[main.cpp(9094)] one\n[main.cpp(9106)] eight\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    run_ = RunState();
    run_.log.ToScreen = c.screen;
    run_.log.LevelGiven = c.levelGiven;
    run_.log.Level = c.level;
    ConsoleCapture capture;
    for (auto [level, text] : {std::pair{LV_ALWS, "one"}, {LV_KERN, "two"}, {LV_LIBR, "four"}, {LV_MODL, "eight"}})
      EXPECT_EQ(DebugLog(&run_.log, level, "%s", text), 1);
    EXPECT_EQ(capture.out(), c.expected);
  }
}

TEST_F(DebugLogTest, AnUnopenableLogFileReportsZero) {
  run_.log.ToFile = true;
  run_.log.FileName = "no/such/dir/log.txt";
  EXPECT_EQ(DebugLog(&run_.log, LV_ALWS, "x"), 0);
  EXPECT_EQ(DebugLog(nullptr, LV_ALWS, "x"), 1);  // no settings: no trace
}

class DebugLogRunTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeFirmwareTree(dir_ / "fw"); }
  ProcessResult Launch(const std::vector<std::string>& args) const {
    ProcessOptions options;
    options.env["KESTREL_SYSFS_FIRMWARE"] = dir_ / "fw";
    options.workingDirectory = dir_.path();
    options.stdinData = "q";
    return RunTool(args, options);
  }
  TempDir dir_;
};

// A command line rejected after the platform check: the run logs its start, the platform
// check and its end.
const std::vector<std::string> kRejected = {"/o", "/s", "/q", "/hb"};
constexpr const char* kStart = "[main.cpp(9094)] Main Execution of App [START]\n \n";
constexpr const char* kPlatform = "[main.cpp(9098)] Platform Validation [START]\n \n";
constexpr const char* kEnd = "[main.cpp(9094)] Main Execution of App [END] with status 57\n \n";
constexpr const char* kPause = "<Press Q to quit, any other key to continue.> \n";

TEST_F(DebugLogRunTest, LevelsOnTheScreen) {
  const std::string relock = "[main.cpp(9102)] Relocking of protected variables[START] \n\n";
  struct Case {
    std::vector<std::string> extra;
    std::vector<std::string> shown;
    std::vector<std::string> hidden;
  } cases[] = {
      {{}, {}, {kStart, kPlatform, relock}},
      {{"/log"}, {kStart, kEnd}, {kPlatform, relock}},
      {{"/loglvl:", "1"}, {kStart, kEnd}, {kPlatform, relock}},
      {{"/loglvl:", "2"}, {kPlatform, kStart, kEnd}, {relock}},
      {{"/log", "/loglvl:", "4"}, {kStart, relock, kEnd}, {kPlatform}},
      {{"/loglvl:", "8"}, {kStart, kEnd}, {kPlatform, relock}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = kRejected;
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    SCOPED_TRACE(args.back());
    ProcessResult r = Launch(args);
    EXPECT_EQ(r.exitCode, 87);
    // Each shown line once, in order, around the pause; hidden lines never.
    size_t at = 0;
    for (const std::string& line : c.shown) {
      size_t found = r.out.find(line, at);
      EXPECT_NE(found, std::string::npos) << line;
      if (found != std::string::npos) at = found + line.size();
    }
    for (const std::string& line : c.hidden) EXPECT_EQ(r.out.find(line), std::string::npos) << line;
    EXPECT_LT(r.out.find(kPause), r.out.find("[END]"));
  }
}

TEST_F(DebugLogRunTest, LogFileIsAppendedAcrossRuns) {
  std::vector<std::string> args = kRejected;
  args.insert(args.end(), {"/logfile:", "run.log", "/loglvl:", "2"});
  for (int i = 0; i < 2; ++i) {
    ProcessResult r = Launch(args);
    EXPECT_EQ(r.exitCode, 87);
    EXPECT_EQ(r.out, kPause);  // nothing of the log on the screen
  }
  std::string once = std::string(kPlatform) + kStart + kEnd;
  EXPECT_EQ(ReadFileText(dir_ / "run.log"), once + once);
}

}  // namespace
}  // namespace kes::test
