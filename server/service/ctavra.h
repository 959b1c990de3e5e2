#pragma once
// CTavra: the controller object of one COM port, the object behind ITavra. The pool creates it
// for the first client of a port and starts it, which opens the port and starts the link stack
// (CL4 over CL2 and the serial port). It keeps the table of registered clients, checks every
// request, adds the client's back-off values, passes the request to CL4 and translates CL4's
// internal codes (code_translation.h). Confirms and indications coming up from CL4 are routed to
// the client's delivery queue and thread (ClientDelivery).
//
// Ownership: shared through std::shared_ptr; the last reference destroys it (clients removed,
// link stack stopped, port closed). It owns CL4, one ClientDelivery per registered client (which
// holds the client's callback object) and one module lock (module_lock.h) from construction to
// the end of destruction. The pool's slot holds no reference; the object empties its slot when it
// is destroyed or disconnected.
//
// Threads: the ITavra methods are called from any thread, several at a time, also from inside a
// callback on a delivery thread. The route function runs on CL4's dispatcher and timer threads
// while CL4 holds one of its table locks: it only looks up the client and queues the item. The
// destructor runs on whichever thread drops the last reference (a delivery thread included).
//
// Locks: m_tableMutex guards the client table and is held only for look-ups and changes, never
// while CL4 is called and never while a delivery thread is waited for; inside it a delivery's
// own lock may be taken (Post). m_gate counts the calls in progress so that Disconnect can wait
// for them before it takes the link stack down. Lock order: CL4's table locks, then
// m_tableMutex, then a delivery's lock.
//
// Results: 0 or a client code of shared/result_codes.h. A method of an object that the pool has
// disconnected returns kObjectDisconnected instead (not a client code).

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "server/service/client_delivery.h"
#include "server/service/indication_item.h"
#include "server/service/module_lock.h"
#include "server/stack/cl4.h"
#include "server/stack/l4_indication.h"
#include "server/stack/port_table.h"
#include "server/stack/serial_port.h"
#include "shared/tavra_interfaces.h"

namespace tavra::service {

// Every method of a disconnected controller object (and the pool after its teardown) returns
// this: the component system's "object disconnected from its clients" (RPC_E_DISCONNECTED). The
// D-Bus adaptor answers such a call with a D-Bus error, as a vanished server would.
inline constexpr HRESULT kObjectDisconnected = static_cast<HRESULT>(0x80010108u);

class CTavra final : public ITavra {
  struct PrivateTag {};

 public:
  static constexpr int kClientEntries = 20;
  // How long Client_Remove waits for the client's delivery thread to end.
  static constexpr std::chrono::milliseconds kDeliveryStopWait{500};

  // A controller object that is not started: every method returns CommandFailed_NotInitialised
  // until Start succeeds. Objects of the `Tavra` class are made this way and never started.
  // Takes a module lock. Throws std::bad_alloc only.
  [[nodiscard]] static std::shared_ptr<CTavra> Create(
      stack::PortTable& portTable = stack::GlobalPortTable());

  CTavra(PrivateTag, stack::PortTable& portTable);
  // Passes "CTavra destructor starts" to the debug trace hook, clears the port's in-use flag,
  // removes every client (entries 0..19 in order), destroys the link stack (its threads end, the
  // port closes), empties the pool slot, passes "CTavra destructor stops" and releases the module
  // lock. Waits for delivery threads that Client_Remove had to leave running.
  ~CTavra() override;
  CTavra(const CTavra&) = delete;
  CTavra& operator=(const CTavra&) = delete;

  // Called once by the pool, before the object is handed out: sets the port's in-use flag,
  // creates CL4 on `serialPort` and starts it (opens COM<portNumber>, starts the link threads).
  // 0, or the translated start error (CommandFailed_PortInUse, _PortNotFound, _PortOpenError,
  // _NotInitialised, ...); after a failure nothing is open, the in-use flag is 0 again and every
  // method returns that code. A second Start returns CommandFailed_NotInitialised.
  [[nodiscard]] HRESULT Start(int portNumber, std::unique_ptr<stack::ISerialPort> serialPort);

  // The pool's hook that empties this object's slot; called once, at disconnection or at the end
  // of destruction, after the port has been closed. Set before the object is handed out.
  void SetSlotRelease(std::function<void()> release);

  // Server shutdown (the pool's teardown): waits for the calls in progress, then removes every
  // client, destroys the link stack (the port closes), clears the in-use flag and empties the
  // slot. From then on every method returns kObjectDisconnected. Idempotent; any thread except
  // a delivery thread of this object.
  void Disconnect();

  // --- observation (status, D-Bus adaptor, tests); any thread ---
  [[nodiscard]] bool IsDisconnected() const;
  [[nodiscard]] bool IsStarted() const;
  [[nodiscard]] int PortNumber() const;  // -1 before Start
  [[nodiscard]] bool IsLinkUp() const;   // false without a running link stack
  [[nodiscard]] int RegisteredClients() const;

  // --- ITavra ---
  [[nodiscard]] HRESULT Client_Add(std::shared_ptr<ITavraCallback> P_Callback,
                                   std::int32_t& P_ClientId) override;
  [[nodiscard]] HRESULT Client_Remove(std::int32_t P_ClientId) override;
  [[nodiscard]] HRESULT Data_Request(std::int32_t P_ClientId,
                                     std::int32_t P_RxId,
                                     std::int32_t P_DataLength,
                                     const std::uint8_t* P_Data,
                                     std::uint8_t P_L7ResponseRequired,
                                     std::int32_t P_RequestId) override;
  [[nodiscard]] HRESULT Data_Response(std::int32_t P_ClientId,
                                      std::int32_t P_ResponseId,
                                      std::int32_t P_DataLength,
                                      const std::uint8_t* P_Data) override;
  [[nodiscard]] HRESULT Connect_Request(std::int32_t P_ClientId,
                                        std::int32_t P_RequestId,
                                        std::int32_t P_RxId,
                                        std::int32_t P_DataLength,
                                        const std::uint8_t* P_Data) override;
  [[nodiscard]] HRESULT Management_Request(std::int32_t P_ClientId,
                                           std::int32_t P_Command,
                                           std::int32_t& P_Result,
                                           std::int32_t& P_DataType,
                                           std::int32_t& P_DataSize,
                                           std::vector<std::uint8_t>& P_Data) override;
  [[nodiscard]] HRESULT Connect_Response(std::int32_t P_ClientId,
                                         std::int32_t P_ConnectionId,
                                         std::uint8_t P_Accept,
                                         std::int32_t P_DataLength,
                                         const std::uint8_t* P_Data) override;
  [[nodiscard]] HRESULT Management_SetupBackoff(std::int32_t P_ClientId,
                                                std::int32_t P_L4_BackoffRetries,
                                                std::int32_t P_L4_BackoffTime,
                                                std::int32_t P_L2_BackoffRetries,
                                                std::int32_t P_L2_BackoffTime) override;
  [[nodiscard]] HRESULT Disconnect_Request(std::int32_t P_ClientId,
                                           std::int32_t P_ConnectionId,
                                           std::int32_t P_DataLength,
                                           const std::uint8_t* P_Data) override;
  [[nodiscard]] HRESULT Disconnect_Response(std::int32_t P_ClientId,
                                            std::int32_t P_ConnectionId,
                                            std::int32_t P_DataLength,
                                            const std::uint8_t* P_Data) override;
  [[nodiscard]] HRESULT ConnectionData_Request(std::int32_t P_ClientId,
                                               std::int32_t P_ConnectionId,
                                               std::int32_t P_DataLength,
                                               const std::uint8_t* P_Data) override;
  [[nodiscard]] HRESULT ConnectionData_Response(std::int32_t P_ClientId,
                                                std::int32_t P_ConnectionId,
                                                std::int32_t P_DataLength,
                                                const std::uint8_t* P_Data) override;
  [[nodiscard]] HRESULT Client_AddEx(std::shared_ptr<ITavraCallback> P_Callback,
                                     std::int32_t& P_ClientId,
                                     std::int32_t& P_ConnectionToTavra) override;

 private:
  struct ClientEntry {
    bool inUse = false;
    std::int32_t clientId = 0;
    stack::L4Backoff backoff;
    // Until the client's first Management_Indication has been queued, other items for it wait
    // here, so that the first callback a new client receives is its link status.
    bool statusPending = false;
    std::vector<std::unique_ptr<IndicationItem>> held;
    std::unique_ptr<ClientDelivery> delivery;
  };

  // Counts the calls in progress; closed by Disconnect, which waits until none is left.
  class CallGate {
   public:
    bool Enter();
    void Leave();
    // false when it was closed already.
    bool CloseAndDrain();
    [[nodiscard]] bool IsClosed() const;

   private:
    mutable std::mutex m_mutex;
    std::condition_variable m_drained;
    int m_inFlight = 0;     // guarded by m_mutex
    bool m_closed = false;  // guarded by m_mutex
  };

  // Runs `body` as one call through the gate; an exception ends it with
  // CommandFailed_UnknownError.
  template <typename Body>
  HRESULT Guarded(Body&& body) noexcept;
  // The common request pattern: started check, client look-up and its back-off values, then
  // `op(cl4, backoff)`, translated.
  template <typename Op>
  HRESULT Request(std::int32_t clientId, Op&& op);

  [[nodiscard]] HRESULT NotStartedResult() const;
  HRESULT AddClient(const std::shared_ptr<ITavraCallback>& callback, std::int32_t& clientId);
  // Frees the entry of `clientId`, removes the client from CL4 and stops its delivery thread
  // (at most kDeliveryStopWait). kTavraClientNotInTable, or CL4's result.
  stack::Result RemoveClient(std::int32_t clientId);
  // Queues a status indication made here for a new client whose own one did not come.
  void SupplyStatusIndication(std::int32_t clientId);
  // Takes the item from CL4 (route function).
  void Route(stack::L4Indication&& indication) noexcept;
  // Posts `item` to the entry, releasing the held items after a first status indication.
  static void DeliverLocked(ClientEntry& entry, std::unique_ptr<IndicationItem> item);
  ClientEntry* FindLocked(std::int32_t clientId);
  const ClientEntry* FindLocked(std::int32_t clientId) const;
  // Removes the clients, destroys CL4, clears the in-use flag; once.
  void TakeDown();
  void ReleaseSlot();
  // Frees the deliveries left running by Client_Remove whose threads have ended.
  void ReapLingering();

  ModuleLockHold m_moduleLock;  // first member: released last
  stack::PortTable& m_portTable;
  mutable CallGate m_gate;  // mutable: the const observers pass through it too

  std::atomic<bool> m_startAttempted{false};
  std::atomic<bool> m_started{false};
  std::atomic<stack::Result> m_startError;
  std::atomic<int> m_port{-1};
  bool m_ownsInUseFlag = false;  // Start and TakeDown only
  bool m_takenDown = false;      // TakeDown only (Disconnect after the gate closed, destructor)
  std::unique_ptr<stack::CL4> m_cl4;  // set by Start; reset by TakeDown

  std::mutex m_slotMutex;
  std::function<void()> m_slotRelease;  // guarded by m_slotMutex

  mutable std::mutex m_tableMutex;
  std::array<ClientEntry, kClientEntries> m_clients;  // guarded by m_tableMutex

  // Deliveries whose thread did not end within kDeliveryStopWait (the client was inside a
  // callback); kept, with their callback reference, until the thread has ended.
  std::mutex m_lingerMutex;
  std::vector<std::unique_ptr<ClientDelivery>> m_lingering;  // guarded by m_lingerMutex
};

}  // namespace tavra::service
