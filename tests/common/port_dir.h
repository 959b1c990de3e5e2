#pragma once
// A temporary COM port folder, published as TAVRA_PORT_DIR while the object lives (COM<n>
// resolves to <folder>/COM<n>); the variable's former value comes back afterwards.
//
// Owner: the test that made it. Threads: the test's thread; the ports it names may be opened
// on any. No lock.

#include <filesystem>
#include <string>

#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tavra::test {

class PortDir {
 public:
  PortDir() = default;
  PortDir(const PortDir&) = delete;
  PortDir& operator=(const PortDir&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return m_dir.Path(); }
  // Where COM<port> is looked up: <folder>/COM<port>.
  [[nodiscard]] std::string PathOf(int port) const;
  // Makes COM<port> a symbolic link to `target`, replacing an earlier one in one step.
  bool Publish(int port, const std::string& target) const;
  void Remove(int port) const;

 private:
  TempDir m_dir{"tavra-ports"};
  ScopedEnv m_published{"TAVRA_PORT_DIR", m_dir.Path().string()};
};

}  // namespace tavra::test
