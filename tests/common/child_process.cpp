#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "tests/common/file_contents.h"

namespace tavra::test {
namespace {

// This process's environment with `changes` put over it, as NAME=VALUE strings.
std::vector<std::string> MergedEnvironment(const Environment& changes) {
  Environment merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (const auto eq = entry.find('='); eq != std::string::npos) {
      merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
  }
  for (const auto& [name, value] : changes) {
    if (value.empty()) {
      merged.erase(name);
    } else {
      merged[name] = value;
    }
  }
  std::vector<std::string> entries;
  entries.reserve(merged.size());
  for (const auto& [name, value] : merged) {
    entries.push_back(name);
    entries.back().append("=").append(value);
  }
  return entries;
}

// The null-terminated pointer array exec wants; `strings` must outlive it.
std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings) {
    pointers.push_back(s.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

std::chrono::milliseconds Left(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

}  // namespace

bool WaitProcessEnd(pid_t pid, std::chrono::milliseconds timeout) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) {
    return errno == ESRCH;  // already gone (and reaped)
  }
  pollfd p{fd, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  ::close(fd);
  return ready > 0;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const Environment& environment,
                           const std::filesystem::path& stderrFile,
                           int pipeFd,
                           const std::filesystem::path& workingDir) {
  int pipeFds[2] = {-1, -1};
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    return;
  }
  std::vector<std::string> envStrings = MergedEnvironment(environment);
  std::vector<std::string> args = argv;
  const std::vector<char*> envp = Pointers(envStrings);
  const std::vector<char*> argp = Pointers(args);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], pipeFd);
  posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  if (pipeFd != 1) {
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
  }
  if (!workingDir.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());
  }
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return;
  }
  m_pid = pid;
  m_pipe = pipeFds[0];
}

ChildProcess::~ChildProcess() {
  if (m_pid > 0 && !m_reaped) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
  if (m_pipe >= 0) {
    ::close(m_pipe);
  }
}

bool ChildProcess::Fill(std::chrono::milliseconds timeout) {
  pollfd p{m_pipe, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  if (ready < 0 && errno == EINTR) {
    return true;  // looked at again, with the time that is left
  }
  if (ready <= 0) {
    return false;
  }
  char chunk[4096];
  const ssize_t n = ::read(m_pipe, chunk, sizeof chunk);
  if (n > 0) {
    m_buffer.append(chunk, static_cast<std::size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    m_eof = true;
  }
  return true;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const auto newline = m_buffer.find('\n'); newline != std::string::npos) {
      std::string line = m_buffer.substr(0, newline);
      m_buffer.erase(0, newline + 1);
      return line;
    }
    if (m_eof || m_pipe < 0) {
      if (m_buffer.empty()) {
        return std::nullopt;
      }
      return std::exchange(m_buffer, {});
    }
    const auto left = Left(deadline);
    if (left.count() == 0 || !Fill(left)) {
      return std::nullopt;
    }
  }
}

std::vector<std::string> ChildProcess::ReadAllLines(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::string> lines;
  while (std::optional<std::string> line = ReadLine(Left(deadline))) {
    lines.push_back(std::move(*line));
  }
  return lines;
}

std::string ChildProcess::ReadAll(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!m_eof && m_pipe >= 0) {
    const auto left = Left(deadline);
    if (left.count() == 0 || !Fill(left)) {
      break;
    }
  }
  return std::exchange(m_buffer, {});
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (m_pid <= 0) {
    return std::nullopt;
  }
  if (!m_reaped) {
    if (!WaitProcessEnd(m_pid, timeout)) {
      return std::nullopt;
    }
    int status = 0;
    if (::waitpid(m_pid, &status, 0) != m_pid) {
      return std::nullopt;
    }
    m_reaped = true;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  return m_exitCode;
}

void ChildProcess::Signal(int signal) const {
  if (m_pid > 0 && !m_reaped) {
    ::kill(m_pid, signal);
  }
}

ProgramOutcome RunToEnd(const std::vector<std::string>& argv,
                        const Environment& environment,
                        const std::filesystem::path& stderrFile,
                        std::chrono::milliseconds timeout) {
  std::error_code ignored;
  std::filesystem::remove(stderrFile, ignored);
  ProgramOutcome outcome;
  ChildProcess child(argv, environment, stderrFile);
  if (!child.Started()) {
    ADD_FAILURE() << "cannot start " << argv.front();
    return outcome;
  }
  outcome.out = child.ReadAllLines(timeout);
  outcome.exitCode = child.Wait(timeout).value_or(-1000);
  outcome.err = ReadFile(stderrFile);
  return outcome;
}

}  // namespace tavra::test
