#pragma once
// TavraPool: the object behind ITavraPool, TavraLink's entry point for clients. It keeps one
// controller object (CTavra) per COM port number 0..9, creates and starts it for the first
// client that asks for the port and hands every client of that port the same object, so that
// several client programs share one serial line and one link stack.
//
// Ownership: the host owns the pool (one per server process). A port slot does not keep its
// controller object alive (std::weak_ptr): the object lives while clients hold references and
// empties its slot when it is destroyed, after its port has been closed. A slot whose object is
// being destroyed counts as "closing": GetTavraInterface waits for it (bounded by kClosingWait)
// and then opens the port anew, so it never hands out an object whose destruction has begun
// and never trips over the port that object is still closing. The pool also keeps weak
// references to the never-started objects it made (CreateTavra), to disconnect them at teardown.
//
// Threads: every method from any thread, several at a time. The pool lock (inside the shared
// state) serializes the check, creation and start of a slot (the port is opened under it), and
// the clearing of a slot by a dying controller object. It is never held while a controller
// object is destroyed or disconnected (both take it to clear the slot). Constructing a
// controller object under the lock takes a module lock, which calls the host's module lock
// implementation (module_lock.h).
//
// Reference counting (the cached-singleton rule of the component system, for the D-Bus adaptor):
// the pool starts with one reference (its class factory's, i.e. the host's). AddRef that makes
// the count 2 takes a module lock (an outside client holds the pool, the server must not end);
// Release that makes it 1 releases it; Release that makes it 0 runs Teardown.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "server/service/ctavra.h"
#include "server/stack/port_table.h"
#include "server/stack/serial_port.h"
#include "shared/tavra_interfaces.h"

namespace tavra::service {

class TavraPool final : public ITavraPool {
 public:
  // Makes the serial port for COM<portNumber>; a null result makes the start fail with
  // CommandFailed_NotInitialised. Called under the pool lock.
  using SerialPortFactory = std::function<std::unique_ptr<stack::ISerialPort>(int portNumber)>;

  // The longest GetTavraInterface waits for a dying controller object of the same port to close
  // it (the removal of 20 hanging clients at 500 ms each, and the link threads).
  static constexpr std::chrono::milliseconds kClosingWait{15000};

  // The real drivers: a NetworkSerialPort for a port whose mapping entry is a file (a network
  // port), a TermiosSerialPort for every other.
  [[nodiscard]] static SerialPortFactory TermiosPortFactory();

  // An empty factory means TermiosPortFactory().
  explicit TavraPool(SerialPortFactory serialPortFactory = {},
                     stack::PortTable& portTable = stack::GlobalPortTable());
  // Runs Teardown if it has not run.
  ~TavraPool() override;
  TavraPool(const TavraPool&) = delete;
  TavraPool& operator=(const TavraPool&) = delete;

  // Passes "GetTavraInterface() starts" to the debug trace hook. P_CommId outside 0..9: E_FAIL,
  // nothing created. Otherwise the running controller object of the port, or a new one started
  // on it ("GetTavraInterface() stops" then), and 0. A failed start returns its code
  // (CommandFailed_PortInUse, _PortNotFound, _PortOpenError, _NotInitialised, _ResourcesLow),
  // the slot stays empty and the next call tries again. After Teardown: kObjectDisconnected.
  // P_Tavra is written only on success. P_Reserved is not used.
  [[nodiscard]] HRESULT GetTavraInterface(std::int32_t P_CommId,
                                          std::int32_t P_Reserved,
                                          std::shared_ptr<ITavra>& P_Tavra) override;
  // The same, typed for the host (Disconnect, observation).
  [[nodiscard]] HRESULT GetController(std::int32_t commId, std::shared_ptr<CTavra>& controller);

  // The `Tavra` class: a controller object that is never started (every method returns
  // CommandFailed_NotInitialised). Null after Teardown or without memory.
  [[nodiscard]] std::shared_ptr<CTavra> CreateTavra();

  // The cached-singleton reference count (see above). Both return the count after the change;
  // a Release at 0 changes nothing and returns 0.
  std::uint32_t AddRef();
  std::uint32_t Release();

  // Server shutdown: marks the pool closed (GetTavraInterface returns kObjectDisconnected),
  // then disconnects every controller object, slots 0..9 in order and then the never-started
  // ones, without the pool lock: each one's clients are removed, its link stack stops and its
  // port closes, and its further calls return kObjectDisconnected (the D-Bus adaptor reports
  // them as a disconnection error). Then waits (at most kClosingWait) for objects already being
  // destroyed to close their ports. Idempotent; not from a delivery thread.
  void Teardown();

  // --- observation (status, tests); any thread ---
  [[nodiscard]] bool IsTornDown() const;
  // The running controller object of the port, or null (also while one is being destroyed).
  [[nodiscard]] std::shared_ptr<CTavra> Controller(int portNumber) const;

 private:
  struct State;

  const std::shared_ptr<State> m_state;  // shared with the controller objects' slot release
  const SerialPortFactory m_serialPortFactory;
  stack::PortTable& m_portTable;
};

}  // namespace tavra::service
