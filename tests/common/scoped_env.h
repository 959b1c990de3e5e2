#pragma once
// An environment variable set (or removed) while the object lives; its former value (or its
// absence) comes back afterwards.
//
// Owner: the test that made it. Threads: the test's thread, while no other thread reads the
// environment (setenv is not thread-safe). No lock.

#include <optional>
#include <string>

namespace tavra::test {

class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value);
  // Removes the variable.
  explicit ScopedEnv(std::string name);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string m_name;
  std::optional<std::string> m_former;
};

}  // namespace tavra::test
