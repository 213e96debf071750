// Runs a benchmark step in a process of its own, so that its peak memory and its compute time
// are its own and not inflated by the generator's: what it printed on standard output, and its
// resource usage as wait4 reports it.
#pragma once
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

namespace kes::bench {

struct ChildResult {
  std::string out;  // the first 4 KiB of its standard output
  rusage usage{};
  int status = 0;   // as wait4 reports it
};

// argv[0] is the program to execute. nullopt when the process could not be started.
inline std::optional<ChildResult> RunChild(const std::vector<std::string>& argv) {
  int fds[2];
  if (argv.empty() || pipe(fds) != 0) return std::nullopt;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  ChildResult result;
  char buffer[4096];
  for (ssize_t n; result.out.size() < sizeof buffer && (n = read(fds[0], buffer, sizeof buffer)) > 0;)
    result.out.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  wait4(pid, &result.status, 0, &result.usage);
  return result;
}

}  // namespace kes::bench
