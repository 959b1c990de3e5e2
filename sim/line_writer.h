#pragma once
// The simulated controller's way out: a thread of its own puts the queued bytes on the serial
// line in order, each chunk when it is due, a change of the controller's own bit rate after the
// chunks before it, with the faults of the way out (cable pulled, a host at another rate,
// random corruption) and, with line timing, no faster than the bit rate.
//
// Owner: SimulatedController::Impl, which keeps the line, the trace queue, the signal and the
// silent flag alive until Stop() has returned. Threads: the writer thread writes; every other
// method may be called from any thread (the worker calls Queue under the controller's state
// lock). Lock: its own, taken inside the controller's state lock and never the other way round;
// the trace queue's lock is taken inside it. None is held while writing to the line.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/byte_faults.h"
#include "sim/line_timing.h"
#include "sim/observations.h"
#include "sim/serial_line.h"
#include "sim/trace_queue.h"

namespace tavra::sim {

class LineWriter {
 public:
  // `silent`: the cable is pulled (nothing goes out); `written` is bumped after every chunk.
  LineWriter(TraceQueue& traces, ObservationSignal& written, const std::atomic<bool>& silent)
      : m_traces(traces), m_written(written), m_silent(silent) {}
  ~LineWriter() { Stop(); }
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  void Start(SerialLine& line);
  // Joins the writer thread; what is still queued is not written. Idempotent.
  void Stop();

  // `bitRate`: the controller's rate when the bytes were made (a host at another rate cannot
  // read them).
  void Queue(std::vector<std::uint8_t> bytes, SimClock::time_point due, int bitRate);
  // The controller's own rate changes once the chunks queued before have gone.
  void QueueRateChange(int bitRate);

  // Each outgoing byte is corrupted with probability p (0: off), repeatably for a seed.
  void SetCorruption(double p, std::uint32_t seed);
  void SetPacing(bool on) { m_pacing = on; }
  // Bytes for a host at another rate arrive garbled instead of being lost.
  void SetGarble(bool on) { m_garble = on; }
  // Adds the bytes lost, garbled and corrupted on the way out.
  void AddCounters(SimCounters& counters) const;

 private:
  struct Chunk {
    std::vector<std::uint8_t> bytes;
    SimClock::time_point due;
    int bitRate = kBaseBitRate;  // the controller's rate when the chunk was made
    int newOwnRate = 0;          // non-zero: a rate change, no bytes
  };
  // What became of a chunk on its way: arrived (perhaps changed) or lost, and the trace's note.
  struct Fate {
    bool arrives = true;
    std::string note;
  };

  void Loop();
  Fate ApplyFaults(Chunk& chunk);  // under m_mutex
  // With pacing each slice leaves only after the time the one before takes on the line.
  void Deliver(const Chunk& chunk, bool pace);

  TraceQueue& m_traces;
  ObservationSignal& m_written;
  const std::atomic<bool>& m_silent;
  std::atomic<bool> m_pacing{false};
  std::atomic<bool> m_garble{false};
  SerialLine* m_line = nullptr;  // set by Start, before the thread

  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<Chunk> m_queue;
  bool m_stop = false;
  ByteCorrupter m_corrupter;
  RateGarbler m_garbler;
  std::uint32_t m_lostSilent = 0;
  std::uint32_t m_lostRate = 0;
  std::uint32_t m_garbled = 0;
  std::uint32_t m_corrupted = 0;
  std::thread m_thread;
};

}  // namespace tavra::sim
