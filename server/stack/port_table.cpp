#include "server/stack/port_table.h"

namespace tavra::stack {

namespace {
bool Valid(int port) {
  return port >= 0 && port < PortTable::kPorts;
}
}  // namespace

void PortTable::SetInUse(int port, bool inUse) {
  if (!Valid(port)) {
    return;
  }
  std::lock_guard lock(m_mutex);
  m_entries[port].inUse = inUse;
}

void PortTable::SetLinkUp(int port, bool up) {
  if (!Valid(port)) {
    return;
  }
  std::lock_guard lock(m_mutex);
  m_entries[port].linkUp = up;
}

void PortTable::AddClients(int port, std::int32_t delta) {
  if (!Valid(port)) {
    return;
  }
  std::lock_guard lock(m_mutex);
  m_entries[port].clientCount += delta;
}

void PortTable::SetIdentity(int port, const ControllerIdentity& identity) {
  if (!Valid(port)) {
    return;
  }
  std::lock_guard lock(m_mutex);
  m_entries[port].identity = identity;
}

PortEntry PortTable::Get(int port) const {
  if (!Valid(port)) {
    return {};
  }
  std::lock_guard lock(m_mutex);
  return m_entries[port];
}

std::array<PortEntry, PortTable::kPorts> PortTable::Snapshot() const {
  std::lock_guard lock(m_mutex);
  return m_entries;
}

void PortTable::Clear() {
  std::lock_guard lock(m_mutex);
  m_entries = {};
}

PortTable& GlobalPortTable() {
  static PortTable table;
  return table;
}

}  // namespace tavra::stack
