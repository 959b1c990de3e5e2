#pragma once
// CL4: the transport layer of one COM port, and the link stack's face towards the controller
// object. It owns the link layer CL2 and offers three services over the link to the
// controller's transport entity (address 0x21):
//   - datagrams: a client's data sent from its own link address, no transport header;
//   - transactions: a request (PDU 0x70) the controller must answer (0x50), with L4 busy
//     back-off (0x60) and, for requests from the controller, supervision of the client's
//     answer (0x60 after L4_NoResponseFromClientTimeout);
//   - connections opened by a client: connect, connection data both ways, disconnect.
// Everything that comes back, and every change of the link, goes up as one L4Indication at a
// time through the route function given to Start. See TRANSPORT.md for PDUs and tables.
//
// Ownership: CL4 owns CL2 (created by Start, destroyed by the destructor), the serial port
// given at construction (handed to CL2), its four tables, two number pools and the inbound
// queue on which CL2 puts its upward messages.
//
// Threads: the operations may be called from any thread, concurrently. CL4 runs two threads
// of its own from Start until destruction: the dispatcher (handles CL2's upward messages) and
// the timer (every 100 ms: busy back-off of transactions and connection requests, answer
// supervision). Both call the route function, usually with a table lock held.
//
// Locks: client lock, connection lock, transaction lock, answer lock (one per table), a lock
// per number pool and the inbound queue's lock. Only client removal nests table locks
// (client, then connection, then transaction); a table lock may be held while CL2's locks are
// taken (CL2::Send) and while the route function runs. No operation waits for the link.
//
// Results: 0 or an internal code (l4_codes.h, internal_codes.h); confirms and indications
// carry client codes.

#include <cstdint>
#include <memory>

#include "server/stack/cl2.h"
#include "server/stack/internal_codes.h"
#include "server/stack/l4_codes.h"
#include "server/stack/l4_indication.h"
#include "server/stack/port_table.h"
#include "server/stack/serial_port.h"

namespace tavra::stack {

// A client's back-off values (Management_SetupBackoff, or the server's defaults).
struct L4Backoff {
  std::int32_t l4Retries = 5;   // L4 busy budget, 0..100
  std::int32_t l4TimeMs = 500;  // L4 back-off time, 0..10000 ms
  std::int32_t l2Retries = 5;   // L2 busy-retry budget, 0..10 (checked by CL2)
  std::int32_t l2TimeMs = 500;  // L2 back-off time, 0..10000 ms (checked by CL2)
};

// The server settings' default back-off values, read now.
[[nodiscard]] L4Backoff DefaultL4Backoff();

class CL4Impl;

class CL4 {
 public:
  static constexpr int kClients = 20;
  static constexpr int kConnections = 10;
  static constexpr int kTransactions = 20;
  static constexpr int kAnswerRecords = 20;

  // Create: keeps the serial port for CL2 and reads L4_NoResponseFromClientTimeout / 100 as
  // the answer time in ticks.
  explicit CL4(std::unique_ptr<ISerialPort> serialPort, PortTable& portTable = GlobalPortTable());
  // Destroy: stops and joins the dispatcher and timer, destroys CL2 (joins its threads, closes
  // the port) and discards the messages still queued. No indication goes out afterwards.
  ~CL4();
  CL4(const CL4&) = delete;
  CL4& operator=(const CL4&) = delete;

  // Starts the threads, creates CL2, opens it on the port and registers as its transport.
  // kL4StartFailed (no route, no serial port, a second start, a thread not created), or the
  // error of CL2's open (stored; every operation returns it from then on).
  [[nodiscard]] Result Start(int portNumber, L4Route route);

  // Registers a client with CL2 and takes a client table entry (its transport number).
  // kUnknownKey from CL2 (no link address left); kL4UnknownClient when the table is full.
  [[nodiscard]] Result AddClient(std::int32_t& key);
  // Unregisters the key at CL2 (whose result is the result), then sends 0x30 for each of the
  // client's connections and frees them, frees its transactions (no confirms) and its entry.
  // Its answer records stay until they time out (the controller then gets 0x60).
  // kL4UnknownClient when the key has no entry.
  [[nodiscard]] Result RemoveClient(std::int32_t key);
  [[nodiscard]] bool IsLinkUp() const;

  // CLIENT_INDEX (0x24000017) is answered here: result = the transport number 0..19, data
  // type 0x24000017, no data; kL4UnknownClient for a key without an entry. Every other
  // command goes to CL2.
  [[nodiscard]] Result Management(std::int32_t key, std::int32_t command, ManagementOutput& out);

  // Without response: a datagram from the client's own address to P_RxId (CL2 checks
  // destination, length and L2 values); its outcome is a Data_Confirm with P_RequestId.
  // With response: a transaction (0x70) to entity P_RxId through the controller's transport;
  // kL4UnknownClient, kL4DataTooLong, kL4BackoffOutOfRange, kL4InvalidRxId,
  // kL4NoTransaction, kL4NoMemory, or CL2's send error.
  [[nodiscard]] Result DataRequest(std::int32_t key,
                                   std::int32_t rxId,
                                   std::int32_t length,
                                   const std::uint8_t* data,
                                   const L4Backoff& backoff,
                                   bool responseRequired,
                                   std::int32_t requestId);
  // Answers a Data_Indication with P_L7ResponseRequired (0x50); kL4NothingToAnswer when no
  // request with this response id waits for this client (also after its time-out).
  [[nodiscard]] Result DataResponse(std::int32_t key,
                                    std::int32_t responseId,
                                    std::int32_t length,
                                    const std::uint8_t* data,
                                    const L4Backoff& backoff);

  // Opens a connection to entity P_RxId (0xF0); Connect_Confirm follows.
  // kL4NoConnection when 10 connections are open or no connection number is free.
  [[nodiscard]] Result ConnectRequest(std::int32_t key,
                                      std::int32_t requestId,
                                      std::int32_t rxId,
                                      std::int32_t length,
                                      const std::uint8_t* data,
                                      const L4Backoff& backoff);
  // Not offered: kL4NotImplemented, whatever the arguments.
  [[nodiscard]] Result ConnectResponse(std::int32_t key,
                                       std::int32_t connectionId,
                                       bool accept,
                                       std::int32_t length,
                                       const std::uint8_t* data,
                                       const L4Backoff& backoff);
  // 0x90; Disconnect_Confirm follows. kL4UnknownConnection, kL4RequestPending.
  [[nodiscard]] Result DisconnectRequest(std::int32_t key,
                                         std::int32_t connectionId,
                                         std::int32_t length,
                                         const std::uint8_t* data,
                                         const L4Backoff& backoff);
  // 0x80 to a Disconnect_Indication; frees the connection. kL4NothingToAnswer.
  [[nodiscard]] Result DisconnectResponse(std::int32_t key,
                                          std::int32_t connectionId,
                                          std::int32_t length,
                                          const std::uint8_t* data,
                                          const L4Backoff& backoff);
  // 0xB0; ConnectionData_Confirm follows. kL4RequestPending while a request is outstanding.
  [[nodiscard]] Result ConnectionDataRequest(std::int32_t key,
                                             std::int32_t connectionId,
                                             std::int32_t length,
                                             const std::uint8_t* data,
                                             const L4Backoff& backoff);
  // 0xA0 to a ConnectionData_Indication. kL4NothingToAnswer.
  [[nodiscard]] Result ConnectionDataResponse(std::int32_t key,
                                              std::int32_t connectionId,
                                              std::int32_t length,
                                              const std::uint8_t* data,
                                              const L4Backoff& backoff);

  // --- observation (status, tests); any thread, each under its table's lock ---
  [[nodiscard]] int OpenTransactions() const;
  [[nodiscard]] int OpenConnections() const;
  [[nodiscard]] int PendingAnswers() const;
  [[nodiscard]] int RegisteredClients() const;
  // The link layer, or null before Start.
  [[nodiscard]] const CL2* LinkLayer() const;

 private:
  std::unique_ptr<CL4Impl> m_impl;
};

}  // namespace tavra::stack
