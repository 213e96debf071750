// In-process fixture for the driver tests (tests/app): a firmware tree with a supported
// identification table behind KESTREL_SYSFS_FIRMWARE, a working directory of its own, and fresh
// run state.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/run_state.h"
#include "firmware/firmware_access.h"
#include "tests/support/firmware_root.h"
#include "tests/support/test_support.h"

namespace kes::test {

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// An argument vector as main() receives it (the tool's path first).
class Argv {
 public:
  explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
    words_.insert(words_.begin(), "KESLNX_64");
    for (auto& w : words_) pointers_.push_back(w.data());
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

class InProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDirs(work());
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer)) savedCwd_ = buffer;
    ASSERT_EQ(chdir(work().c_str()), 0);
  }
  void TearDown() override {
    if (!savedCwd_.empty()) (void)chdir(savedCwd_.c_str());
  }
  std::string work() const { return dir_ / "work"; }

  TempDir dir_;
  // Points KESTREL_SYSFS_FIRMWARE at a supported platform, for every test; the run record and the
  // firmware access start fresh with each test.
  PlainFirmwareRoot firmware_{/*withEfivars=*/true, /*withFidt=*/true};
  FirmwareAccess& fw_ = firmware_.access();
  RunState run_;
  std::string savedCwd_;
};

}  // namespace kes::test
