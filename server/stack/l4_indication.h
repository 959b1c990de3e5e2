#pragma once
// What the transport layer CL4 hands upward: one indication item per confirm, indication or
// link state change, and the route function that takes it. The controller object adapts
// items to its clients' delivery queues.

#include <cstdint>
#include <functional>
#include <vector>

namespace tavra::stack {

// The callback each kind becomes (methods of ITavraCallback).
enum class L4Kind : std::int32_t {
  DataIndication = 1,            // a = P_ResponseId, b = P_TxId, c = P_L7ResponseRequired
  DataConfirm = 2,               // a = P_RequestId, b = P_ConfirmResult, c = destination
  ManagementIndication = 3,      // a = P_Type, b = P_Subtype, c = 0
  ConnectConfirm = 4,            // a = P_RequestId, b = P_ConfirmResult, c = P_ConnectionId
  ConnectIndication = 5,         // never produced: connect requests from the controller
                                 // are refused
  DisconnectConfirm = 6,         // a = P_ConnectionId
  DisconnectIndication = 7,      // a = P_ConnectionId
  DisconnectedIndication = 8,    // a = P_ConnectionId, b = P_Reason
  ConnectionDataIndication = 9,  // a = P_ConnectionId
  ConnectionDataConfirm = 10,    // a = P_ConnectionId
};

// One item; whoever holds it owns its data.
struct L4Indication {
  std::int32_t clientId = 0;  // the client's key (its client id)
  L4Kind kind = L4Kind::DataIndication;
  std::int32_t a = 0;
  std::int32_t b = 0;
  std::int32_t c = 0;
  std::vector<std::uint8_t> data;
};

// Takes ownership of one item. Called from CL4's dispatcher and timer threads, usually while
// CL4 holds one of its table locks: it must only hand the item on (look-up and push under
// short locks of its own) and return. It must never block, wait for a client, or call back
// into CL4.
using L4Route = std::function<void(L4Indication&&)>;

}  // namespace tavra::stack
