#pragma once
// The port table: ten process-wide records, index = COM port number. Writers are the controller
// object (in use, client count) and the link layer (link up, identity); readers (the status
// dialog, the D-Bus port table) take a snapshot. Each field is read and written whole.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "shared/controller_identity.h"

namespace tavra::stack {

struct PortEntry {
  bool inUse = false;
  bool linkUp = false;
  std::int32_t clientCount = 0;
  ControllerIdentity identity;
};

class PortTable {
 public:
  static constexpr int kPorts = 10;

  void SetInUse(int port, bool inUse);
  void SetLinkUp(int port, bool up);
  void AddClients(int port, std::int32_t delta);
  void SetIdentity(int port, const ControllerIdentity& identity);
  [[nodiscard]] PortEntry Get(int port) const;
  [[nodiscard]] std::array<PortEntry, kPorts> Snapshot() const;
  // Back to all zero (tests).
  void Clear();

 private:
  mutable std::mutex m_mutex;  // guards whole-field reads and writes only; never held long
  std::array<PortEntry, kPorts> m_entries{};
};

PortTable& GlobalPortTable();

}  // namespace tavra::stack
