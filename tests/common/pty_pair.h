#pragma once
// A pseudo-terminal for tests of serial ports: the test holds the master side (it plays the
// controller), the code under test opens the slave side, usually through a COM<n> link in a
// PortDir.
//
// Owner: the test that made it. Threads: the test's thread; the slave side is used by any.
// No lock.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tavra::test {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  [[nodiscard]] bool Valid() const { return m_master >= 0; }
  [[nodiscard]] int Master() const { return m_master; }
  [[nodiscard]] const std::string& SlavePath() const { return m_slavePath; }

  // Writes every byte to the master (bounded: false when the pty stays full for 2 s).
  bool Write(std::span<const std::uint8_t> bytes);
  // Reads from the master until n bytes have come or the time-out passes.
  std::vector<std::uint8_t> Read(std::size_t n, std::chrono::milliseconds timeout);
  // Hangs up the slave side (the cable is pulled).
  void CloseMaster();

 private:
  int m_master = -1;
  std::string m_slavePath;
};

}  // namespace tavra::test
