#include "port_dir.h"

#include <unistd.h>

#include <cstdio>

namespace tavra::test {

std::string PortDir::PathOf(int port) const {
  return (m_dir / ("COM" + std::to_string(port))).string();
}

bool PortDir::Publish(int port, const std::string& target) const {
  const std::string temporary = (m_dir / (".new-COM" + std::to_string(port))).string();
  ::unlink(temporary.c_str());
  return ::symlink(target.c_str(), temporary.c_str()) == 0 &&
         ::rename(temporary.c_str(), PathOf(port).c_str()) == 0;
}

void PortDir::Remove(int port) const {
  ::unlink(PathOf(port).c_str());
}

}  // namespace tavra::test
