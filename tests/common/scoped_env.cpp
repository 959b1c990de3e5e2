#include "scoped_env.h"

#include <stdlib.h>

namespace tavra::test {

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : ScopedEnv(std::move(name)) {
  ::setenv(m_name.c_str(), value.c_str(), 1);
}

ScopedEnv::ScopedEnv(std::string name) : m_name(std::move(name)) {
  if (const char* former = ::getenv(m_name.c_str()); former != nullptr) {
    m_former = former;
  }
  ::unsetenv(m_name.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (m_former) {
    ::setenv(m_name.c_str(), m_former->c_str(), 1);
  } else {
    ::unsetenv(m_name.c_str());
  }
}

}  // namespace tavra::test
