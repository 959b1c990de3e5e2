#pragma once
// Replays a recorded session (a tavra-sim trace) against the server: a SessionReplayer plays
// the controller on a pseudo-terminal, answering each host frame the trace expects with the
// controller frames recorded after it, and compares what the host sends with the trace.
//
// What may differ from the recording, and nothing else: the timestamps; and keep-alives that
// the host sends in an idle gap longer than its no-activity time (a slow program start): such a
// keep-alive that the trace does not expect is answered as a controller does and not compared,
// and the sequence numbers of both sides after it are compared shifted by one (so their check
// bytes differ too).
//
// Threads: the replayer's own thread plays the script; the line's reader thread hands it the
// host's bytes under `m_mutex`; the test's thread starts it, waits and reads the outcome.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/serial_line.h"

namespace tavra::test {

// One frame of a trace line: "SECONDS H>C|C>H HEX BYTES  | reading [note]".
struct TraceFrame {
  int line = 0;
  bool fromHost = false;
  std::vector<std::uint8_t> bytes;
};

// The frames of a trace file; nullopt with a message for a line that is not a frame.
std::optional<std::vector<TraceFrame>> ReadTrace(const std::filesystem::path& path,
                                                 std::string* error);

// Cuts a recorded trace after the host's first frame that the silent controller lost and that
// frame's retransmissions: the link attempts that follow vary in number with time.
std::vector<std::string> TrimAtGivingUp(const std::vector<std::string>& lines);

class SessionReplayer {
 public:
  explicit SessionReplayer(std::vector<TraceFrame> script);
  ~SessionReplayer();
  SessionReplayer(const SessionReplayer&) = delete;
  SessionReplayer& operator=(const SessionReplayer&) = delete;

  // Publishes the pseudo-terminal's slave at linkPath and starts playing.
  bool Start(const std::string& linkPath, std::string* error);
  // Waits until the whole script has been played or a difference was found.
  bool WaitDone(std::chrono::milliseconds timeout);
  // Empty when every host frame matched; else the first difference.
  [[nodiscard]] std::string Failure() const;
  [[nodiscard]] int ExtraKeepAlives() const;

 private:
  void Play();
  std::optional<std::vector<std::uint8_t>> NextHostFrame(std::chrono::milliseconds timeout);
  // Writes a recorded controller frame with its sequence number moved on by `shift`; a data
  // frame's number goes to *sequence.
  void Send(const std::vector<std::uint8_t>& recorded, int shift, int* sequence);
  // Answers a keep-alive that the trace does not expect, with the controller's next number.
  void AnswerKeepAlive(std::uint8_t hostSequence, int ownSequence);
  void Finish(const std::string& failure);

  const std::vector<TraceFrame> m_script;
  std::unique_ptr<sim::SerialLine> m_line;
  std::thread m_thread;
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<std::uint8_t> m_received;  // guarded by m_mutex
  bool m_stop = false;                  // guarded by m_mutex
  bool m_done = false;                  // guarded by m_mutex
  std::string m_failure;                // guarded by m_mutex
  int m_extraKeepAlives = 0;            // guarded by m_mutex
};

}  // namespace tavra::test
