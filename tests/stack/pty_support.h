#pragma once
// Pseudo-terminals for tests of the real serial port driver: the test holds the master side
// (it plays the controller), the driver opens the slave side through a COM<n> link in a
// temporary folder named by TAVRA_PORT_DIR.

#include <chrono>
#include <cstdint>
#include <future>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "server/stack/frame_parser.h"
#include "server/stack/serial_port.h"
#include "shared/sync_event.h"

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

// A temporary folder published as TAVRA_PORT_DIR while the object lives.
class PortDir {
 public:
  PortDir();
  ~PortDir();
  PortDir(const PortDir&) = delete;
  PortDir& operator=(const PortDir&) = delete;

  [[nodiscard]] const std::string& Path() const { return m_path; }
  [[nodiscard]] std::string Entry(int portNumber) const;
  // Makes COM<n> a symbolic link to target, replacing an earlier one in one step.
  bool Publish(int portNumber, const std::string& target);
  void Remove(int portNumber);

 private:
  std::string m_path;
  std::string m_oldValue;
  bool m_hadOldValue = false;
};

// Runs a port's receive loop on a thread of its own; stops and joins it on destruction.
class ReceiveThread {
 public:
  ReceiveThread(stack::ISerialPort& port, stack::FrameParser& parser);
  ~ReceiveThread();
  ReceiveThread(const ReceiveThread&) = delete;
  ReceiveThread& operator=(const ReceiveThread&) = delete;

  // Sets the stop signal and wakes the loop; true when the loop ended within the time-out.
  // The thread is joined in any case.
  bool Stop(std::chrono::milliseconds timeout);
  // CPU time the receive thread has used so far (the thread must still run).
  [[nodiscard]] std::chrono::nanoseconds CpuTime();

 private:
  stack::ISerialPort& m_port;
  Event m_stop{Event::Mode::ManualReset};
  std::promise<stack::Result> m_done;
  std::future<stack::Result> m_result;
  std::thread m_thread;
};

}  // namespace tavra::test
