// Peak memory measured in a fresh process: this benchmark run again with
// other arguments, so that what the parent holds does not count.
//
// Thread-safety: call from main, before the process grows (the child's peak
// as the system counts it includes the pages it was forked with).

#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace halvorn::bench {

// Runs `self` with `args` and returns its peak resident set in KiB; exits
// the benchmark when the child fails.
inline long rerun_peak_kib(const char* self, const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(self)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execv(self, argv.data());
    std::_Exit(127);
  }
  int status = 0;
  struct rusage ru{};
  if (pid < 0 || ::wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "the child run of %s failed\n", self);
    std::exit(1);
  }
  return ru.ru_maxrss;
}

}  // namespace halvorn::bench
