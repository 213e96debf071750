// Key input: a real pseudo-terminal for ReadKey's terminal handling, a pipe for plain input,
// and the pause and Y|N prompts over scripted keys.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "base/console.h"
#include "base/interrupt.h"
#include "app/terminal.h"

namespace kes {
namespace {

// Puts fd in place of standard input while alive.
class StdinSwap {
 public:
  explicit StdinSwap(int fd) : saved_(dup(STDIN_FILENO)) { dup2(fd, STDIN_FILENO); }
  ~StdinSwap() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

TEST(Terminal, ReadKeyTakesOneKeyWithoutEchoAndRestoresTheTerminal) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios before;
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  ASSERT_TRUE((before.c_lflag & ICANON) && (before.c_lflag & ECHO));

  std::atomic<bool> done{false};
  // The key arrives once ReadKey waits; a newline later frees a read stuck in line mode.
  std::thread typist([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    (void)!write(master, "k", 1);
    for (int i = 0; i < 50 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!done) (void)!write(master, "\n", 1);
  });
  int key;
  {
    StdinSwap swap(slave);
    auto start = std::chrono::steady_clock::now();
    key = ReadKey();
    done = true;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << "waited for a newline";
  }
  typist.join();
  EXPECT_EQ(key, 'k');

  termios after;
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  fcntl(master, F_SETFL, O_NONBLOCK);
  char echoed[16];
  EXPECT_LE(read(master, echoed, sizeof echoed), 0) << "the key was echoed";
  close(slave);
  close(master);
}

TEST(Terminal, ReadKeyFromAPipeTakesWhatIsThereWithoutWaiting) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "ab", 2), 2);
  StdinSwap swap(fds[0]);
  EXPECT_EQ(ReadKey(), 'a');
  EXPECT_EQ(ReadKey(), 'b');
  EXPECT_EQ(ReadKey(), -1);  // the pipe is still open: nothing more is waited for
  close(fds[1]);
  EXPECT_EQ(ReadKey(), -1);
  close(fds[0]);
}

// A signal that arrived before the wait for a key (the handler noted it) ends the wait at once;
// the terminal gets its settings back.
TEST(Terminal, ASignalEndsTheWaitForAKey) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios before;
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  {
    StdinSwap swap(slave);
    InterruptSignals signals;
    raise(SIGTERM);
    EXPECT_THROW(ReadKey(), RunInterrupted);
  }
  termios after;
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  close(slave);
  close(master);
}

KeyReader Keys(std::string keys) {
  auto next = std::make_shared<size_t>(0);
  return [keys, next] { return *next < keys.size() ? static_cast<unsigned char>(keys[(*next)++]) : -1; };
}

TEST(Terminal, PauseAndYesNoPrompts) {
  ConsoleCapture capture;
  EXPECT_FALSE(PauseForKey(Keys("q")));
  EXPECT_FALSE(PauseForKey(Keys("Q")));
  EXPECT_TRUE(PauseForKey(Keys("\n")));
  EXPECT_TRUE(PauseForKey(Keys("")));  // end of input goes on
  EXPECT_EQ(capture.out(),
            "<Press Q to quit, any other key to continue.> \n<Press Q to quit, any other key to continue.> \n"
            "<Press Q to quit, any other key to continue.> \n<Press Q to quit, any other key to continue.> \n");
  EXPECT_TRUE(AskYesNo(L"?", Keys("abY")));
  EXPECT_TRUE(AskYesNo(L"?", Keys("y")));
  EXPECT_FALSE(AskYesNo(L"?", Keys("xN")));
  EXPECT_FALSE(AskYesNo(L"?", Keys("n")));
  EXPECT_FALSE(AskYesNo(L"?", Keys("x")));  // end of input answers N
}

}  // namespace
}  // namespace kes
