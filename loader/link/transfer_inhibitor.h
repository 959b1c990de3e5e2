#pragma once
// Keeps the desktop from suspending, shutting down or idling the machine while a firmware
// transfer runs (a backup or an update). The loader takes a lock when the transfer starts and
// lets it go when the step ends; the desktop shows the reason ("Updating controller firmware on
// COM1") to a user who tries to shut down meanwhile.
//
// Owner: the program (window or command line) owns the inhibitor; the firmware steps own each
// lock for the length of a step. Threads: Acquire on the thread that runs the steps; a lock may
// be destroyed on any thread. Implementations say which lock they take.

#include <memory>
#include <string>

namespace tavra::loader {

// Held while it exists.
class InhibitLock {
 public:
  virtual ~InhibitLock() = default;
};

class TransferInhibitor {
 public:
  virtual ~TransferInhibitor() = default;
  // A held lock, or null with `whyNot` saying why none could be taken (the step goes on).
  [[nodiscard]] virtual std::unique_ptr<InhibitLock> Acquire(const std::string& reason,
                                                             std::string& whyNot) = 0;
};

inline constexpr char kUpdateInhibitReason[] = "Updating controller firmware on COM";
inline constexpr char kBackupInhibitReason[] = "Backing up controller firmware on COM";

}  // namespace tavra::loader
