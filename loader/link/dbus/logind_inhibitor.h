#pragma once
// The desktop's inhibitor lock from systemd-logind: org.freedesktop.login1.Manager.Inhibit
// ("sleep:shutdown:idle", who "TavraLoader", the step's reason, mode "block") on the system bus.
// The answer is a file descriptor; the lock is held until it is closed, which the returned
// InhibitLock does when it is destroyed. Where there is no system bus or no logind on it,
// Acquire returns null and says why.
//
// Owner: the program. Threads: Acquire from any thread (a blocking call on a bus connection of
// its own, opened and closed within the call; Qt runs it on its D-Bus thread). A
// QCoreApplication must exist. No lock of its own.

#include <QString>

#include "loader/link/transfer_inhibitor.h"

namespace tavra::dbus {

class LogindInhibitor final : public loader::TransferInhibitor {
 public:
  // `busAddress` empty: the system bus; otherwise that bus (tests pass a private one).
  explicit LogindInhibitor(QString busAddress = {}) : m_busAddress(std::move(busAddress)) {}

  [[nodiscard]] std::unique_ptr<loader::InhibitLock> Acquire(const std::string& reason,
                                                             std::string& whyNot) override;

 private:
  QString m_busAddress;
};

inline constexpr char kInhibitWhat[] = "sleep:shutdown:idle";
inline constexpr char kInhibitWho[] = "TavraLoader";
inline constexpr char kInhibitMode[] = "block";

}  // namespace tavra::dbus
