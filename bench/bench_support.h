#pragma once
// What the benchmarks that print to the emulator share: the job count, a
// counter of print results to wait on, the emulator as a process of its own,
// and percentiles.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace bench {

// TILO2_BENCH_JOBS, else the fallback.
inline int JobCount(int fallback) {
  const char* text = std::getenv("TILO2_BENCH_JOBS");
  const int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : fallback;
}

// Print results as they arrive on the engine's threads.
struct ResultCounter {
  std::mutex mutex;
  std::condition_variable arrived;
  int count = 0;
  int failures = 0;

  void Add(int32_t code) {
    std::lock_guard lock(mutex);
    ++count;
    if (code != 0) ++failures;
    arrived.notify_all();
  }
  bool WaitFor(int n) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(120), [&] { return count >= n; });
  }
};

// The emulator runs as a process of its own, so its log of every byte it
// received stays out of this process's memory and its threads out of the
// measured scheduling.
inline pid_t StartEmulatorProcess(const char* address) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl(PRINTER_EMULATOR_PATH, "printer-emulator", "--address", address,
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

inline void StopEmulatorProcess(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

inline double Percentile(std::vector<double> values, int percent) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, values.size() * percent / 100)];
}

}  // namespace bench
