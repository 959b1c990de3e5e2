#pragma once
// A program started as a child process: its standard output (or another descriptor) on a pipe,
// read line by line with bounded waits, its standard error in a file, and a bounded wait for
// its end. Plus a bounded wait for the end of any process, and a program run to its end.
//
// Owner: the test that started it; the destructor kills the child when it still runs and reaps
// it. Threads: the test's thread. No lock.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavra::test {

// NAME=VALUE entries put over the test process's environment (an empty value removes the name).
using Environment = std::map<std::string, std::string>;

// Waits up to `timeout` for process `pid` (any process, not only a child) to end.
bool WaitProcessEnd(pid_t pid, std::chrono::milliseconds timeout);

class ChildProcess {
 public:
  // `pipeFd`: the child's descriptor that is the pipe (its standard output by default); when it
  // is another one, the child's standard output goes to `stderrFile` too. `workingDir`: where
  // the child starts (this process's folder when empty).
  ChildProcess(const std::vector<std::string>& argv,
               const Environment& environment,
               const std::filesystem::path& stderrFile,
               int pipeFd = 1,
               const std::filesystem::path& workingDir = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] bool Started() const { return m_pid > 0; }
  [[nodiscard]] pid_t Pid() const { return m_pid; }
  // The next line of the pipe (without its line end), or nothing at its end or on time-out.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Every line of the pipe up to its end (at most `timeout`).
  std::vector<std::string> ReadAllLines(std::chrono::milliseconds timeout);
  // Everything the pipe gives up to its end (at most `timeout`), line ends kept.
  std::string ReadAll(std::chrono::milliseconds timeout);
  // The exit code (-signal when killed by a signal), or nothing on time-out.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  void Signal(int signal) const;

 private:
  // Reads what the pipe has within `timeout` into m_buffer (or notes its end); false on
  // time-out.
  bool Fill(std::chrono::milliseconds timeout);

  pid_t m_pid = -1;
  int m_pipe = -1;
  bool m_reaped = false;
  int m_exitCode = -1;
  std::string m_buffer;
  bool m_eof = false;
};

struct ProgramOutcome {
  int exitCode = -1;  // -1000 when it did not end in time
  std::vector<std::string> out;
  std::string err;
};

// Runs a program to its end (at most `timeout` for its output and as long again for its end);
// its standard error goes through `stderrFile`.
ProgramOutcome RunToEnd(const std::vector<std::string>& argv,
                        const Environment& environment,
                        const std::filesystem::path& stderrFile,
                        std::chrono::milliseconds timeout);

}  // namespace tavra::test
