#pragma once
// The client side of TavraLink on the session bus: ITavraPool and ITavra proxies that turn every
// interface call into a call of dk.norvik.TavraLink (shared/dbus/dk.norvik.TavraLink.xml), and a
// callback object on the client's own connection that hands the server's callbacks to the
// user's ITavraCallback.
//
// Connecting. ConnectTavraPool asks for the pool through the well-known name with auto-start
// allowed, so the bus starts the server where it is activatable. Where it is not (no service
// file: a build tree), the proxy starts the program named by ProxyOptions::program, else by the
// environment variable TAVRALINK_PROGRAM, else the `tavralink` beside the running executable,
// and waits up to ProxyOptions::startTimeout (10 s) for the name. A server that is closing
// (dk.norvik.TavraLink.Error.ShuttingDown) is waited for to leave the bus, and the request is
// made once more. The first pool call gives this connection its pool reference; from then on
// every call goes to the server's unique name, so calls after the server has ended fail with a
// D-Bus error and never start a new server that knows nothing of this client.
//
// Results. Every method returns the server's result code. A call that fails on the bus (no
// server, server gone, time-out, a reply of the wrong form) returns kCallFailed; LastCallStatus()
// tells the calling thread which D-Bus error it was. Refused without a call:
// - a negative P_DataLength, or a null P_Data with a positive P_DataLength:
// CommandFailed_DataTooLong,
//   the code the controller object gives for such a buffer in process;
// - P_DataLength above kMaxBusDataLength (1 MiB; the link carries at most 1020 bytes, so the
//   server would refuse it too): CommandFailed_DataTooLong.
// Management_Request writes its outputs only when the result is 0, and then P_Data holds exactly
// P_DataSize bytes (a reply whose sizes disagree is kCallFailed).
//
// References. The pool proxy and each ITavra proxy hold one server reference each (the pool's
// from the first call, an ITavra's from GetTavraInterface / CreateTavra); the shared_ptr's last
// owner sends Release. Callback objects given to Client_Add / Client_AddEx are held until
// Client_Remove of that client succeeds (or says the client is not registered), until a Release
// reports that the controller object has ended, or until the connection closes.
//
// Threads. One connection per pool proxy, opened inside a dedicated thread of the proxy that
// receives the callbacks; the ITavra proxies of a pool share it. Methods may be called from any
// thread, several at a time, also from inside a callback. Callbacks of every client of this
// connection arrive on that one thread, one at a time, in the order in which the server sent
// them; a callback that blocks holds up the ones after it. After Client_Remove has returned no
// further callback of that client starts. The connection (and its thread, joined) ends when the
// last proxy is gone; do not drop the last proxy inside a callback (it works, but the thread is
// then joined only at the next ConnectTavraPool or at process exit).
//
// A callback object that keeps a proxy must keep it through a weak_ptr: the connection holds
// the callback object, and a strong reference back would keep both alive for ever.
//
// A QCoreApplication must exist while proxies are used (QtDBus needs one); the calling thread
// needs no event loop.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shared/controller_identity.h"
#include "shared/tavra_interfaces.h"

namespace tavra::dbus {

// The call failed on the bus; the component system's "object disconnected from its clients"
// (RPC_E_DISCONNECTED). Bit 31 is set, so it never looks like one of the server's codes.
inline constexpr HRESULT kCallFailed = static_cast<HRESULT>(0x80010108u);
// ConnectTavraPool could not reach or start the server (CO_E_SERVER_EXEC_FAILURE).
inline constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x80080005u);
// The largest data buffer the proxy puts on the bus.
inline constexpr std::int32_t kMaxBusDataLength = 1 << 20;

// The outcome on the bus of the calling thread's most recent proxy call (or ConnectTavraPool).
struct CallStatus {
  bool failed = false;
  std::string errorName;  // e.g. "org.freedesktop.DBus.Error.ServiceUnknown"
  std::string errorMessage;
};
[[nodiscard]] CallStatus LastCallStatus();

// D-Bus error name used when a reply does not have the form of the contract.
inline constexpr char kBadReplyError[] = "dk.norvik.TavraLink.Proxy.Error.BadReply";

// One row of Pool.GetPortTable.
struct PortStatus {
  int port = 0;
  bool inUse = false;
  bool linkUp = false;
  int clientCount = 0;
  ControllerIdentity identity;
  bool operator==(const PortStatus&) const = default;
};

struct ProxyOptions {
  // Empty: the session bus of DBUS_SESSION_BUS_ADDRESS (read at the call).
  std::string busAddress;
  // Start the server when it is not running (false: fail with kServerUnavailable instead).
  bool startServer = true;
  // Empty: $TAVRALINK_PROGRAM, else `tavralink` beside the running executable.
  std::string program;
  std::chrono::milliseconds startTimeout{10000};
  // Time-out of each call.
  std::chrono::milliseconds callTimeout{25000};
};

// ITavraPool over the bus, with the pool's further methods.
class TavraPoolProxy : public ITavraPool {
 public:
  // Pool.CreateTavra: a new never-started controller object.
  [[nodiscard]] virtual HRESULT CreateTavra(std::shared_ptr<ITavra>& P_Tavra) = 0;
  // Pool.GetPortTable: ports 0..9 in order. 0, or kCallFailed.
  [[nodiscard]] virtual HRESULT GetPortTable(std::vector<PortStatus>& ports) = 0;
  // The unique bus name of the server this proxy talks to.
  [[nodiscard]] virtual std::string ServerName() const = 0;
  // True once the server was seen to leave the bus (or a call found it gone).
  [[nodiscard]] virtual bool ServerGone() const = 0;
  // Called once when the server leaves the bus: on the proxy's thread, or on the thread of a
  // call that found it gone, or at once on the calling thread when it has already gone. It
  // runs with no lock held and must not drop the last proxy.
  virtual void SetServerGoneHandler(std::function<void()> handler) = 0;
};

// The reason ConnectTavraPool gives when startServer is false and no server runs.
inline constexpr char kNotRunningText[] = "TavraLink is not running";

// Connects to the bus, reaches (or starts) the server and takes the pool reference. 0 and a
// proxy, or kServerUnavailable with a reason in *error (and in LastCallStatus()).
[[nodiscard]] HRESULT ConnectTavraPool(const ProxyOptions& options,
                                       std::shared_ptr<TavraPoolProxy>& pool,
                                       std::string* error = nullptr);

}  // namespace tavra::dbus
