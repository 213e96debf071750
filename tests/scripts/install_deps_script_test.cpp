// scripts/install-deps.sh (run by the demo and the test script) while another process holds the
// package manager's lock: apt-get is told to wait for dpkg's lock, a run refused for a lock is
// tried again, the wait is bounded, and other failures end the script at once.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace kes::test {
namespace {

// Stand-ins on PATH: every package is missing, sudo runs its command, and apt-get records its
// arguments and answers as $FAKE_APT/mode says: "locked N" (refused for the lists lock N more
// times), "broken" (fails for another reason), anything else succeeds.
const char kDpkgQuery[] = "#!/bin/sh\nexit 1\n";
const char kSudo[] = "#!/bin/sh\nexec \"$@\"\n";
const char kAptGet[] = R"sh(#!/bin/sh
echo "$*" >> "$FAKE_APT/calls"
set -- $(cat "$FAKE_APT/mode")
if [ "$1" = locked ] && [ "$2" -gt 0 ]; then
  echo "locked $(($2 - 1))" > "$FAKE_APT/mode"
  echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)" >&2
  echo "E: Unable to lock directory /var/lib/apt/lists/" >&2
  exit 100
fi
if [ "$1" = broken ]; then
  echo "E: The repository does not have a Release file." >&2
  exit 100
fi
exit 0
)sh";

void WriteScript(const std::string& path, const char* text) {
  WriteFileText(path, text);
  chmod(path.c_str(), 0755);
}

TEST(InstallDepsScript, WaitsForThePackageManagerLockWithinItsBound) {
  struct Case {
    const char* what;
    std::string mode;
    std::string timeout;
    int exitCode;
    size_t calls;  // apt-get runs
    const char* printed;
  };
  const Case cases[] = {
      {"lock released after two refusals", "locked 2", "600", 0, 4, "Waiting for another package manager run"},
      {"lock held past the bound", "locked 1000", "0", 100, 1, "Could not get lock"},
      {"other failure", "broken", "600", 100, 1, "does not have a Release file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    MakeDirs(tmp / "bin");
    WriteScript(tmp / "bin/dpkg-query", kDpkgQuery);
    WriteScript(tmp / "bin/sudo", kSudo);
    WriteScript(tmp / "bin/apt-get", kAptGet);
    WriteFileText(tmp / "mode", c.mode);
    ProcessOptions options;
    options.env["PATH"] = (tmp / "bin") + ":" + std::getenv("PATH");
    options.env["FAKE_APT"] = tmp.path();
    options.env["KESTREL_APT_LOCK_TIMEOUT"] = c.timeout;
    ProcessResult r = RunProcess({"bash", SourceDir() + "/scripts/install-deps.sh"}, options);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.printed), std::string::npos) << r.out << r.err;

    std::vector<std::string> calls;
    std::istringstream lines(ReadFileText(tmp / "calls"));
    for (std::string line; std::getline(lines, line);) calls.push_back(line);
    ASSERT_EQ(calls.size(), c.calls);
    for (const auto& call : calls) EXPECT_EQ(call.rfind("-o DPkg::Lock::Timeout=", 0), 0u) << call;
    if (c.exitCode == 0) {
      EXPECT_NE(calls.back().find("install -y"), std::string::npos) << calls.back();
    }
  }
}

}  // namespace
}  // namespace kes::test
