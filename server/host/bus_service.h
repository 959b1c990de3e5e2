#pragma once
// BusService: TavraLink's objects on the session bus, exactly as described by
// shared/dbus/dk.norvik.TavraLink.xml. The pool object /dk/norvik/TavraLink/Pool, the
// controller objects of the COM ports /dk/norvik/TavraLink/Port<n> and the never-started
// controller objects /dk/norvik/TavraLink/Tavra<k> are paths of this one virtual object; each
// call is looked up in the interface's dispatch table, checked against the contract's signature
// (shared/dbus/contract_methods.h), mapped 1:1 onto TavraPool / ITavra, and answered with the
// result code as the first out-argument (result codes are values, never D-Bus errors; outputs not
// set are 0 and an empty array).
//
// References are counted per object and per client connection (reference_table.h). A
// connection's first pool call while it holds no pool reference gives it one (taking the pool's
// external reference, which holds a module lock while any client holds the pool);
// GetTavraInterface and CreateTavra add one reference to the object they return, AddRef adds
// one, Release drops one. An object whose total falls to 0 leaves the bus and its controller
// object is dropped (its clients removed, its port closed). When a client connection leaves the
// bus (a QDBusServiceWatcher on its unique name) its clients are removed as by Client_Remove
// and its references dropped.
//
// Bounds per client connection: at most kMaxNeverStartedPerConnection never-started objects
// and kMaxReferencesPerConnection references in all; past them GetTavraInterface and
// CreateTavra give CommandFailed_ResourcesLow and AddRef adds nothing (it answers the unchanged
// total). A client id belongs to the connection that registered it: a call of another
// connection naming it gets CommandFailed_ClientNotRegistered and changes nothing.
//
// Suspended (the shutdown monitor found the server quiet, or a forced shutdown): a connection
// that holds no pool reference gets the error dk.norvik.TavraLink.Error.ShuttingDown for every
// pool call, and so does CreateTavra; clients already holding the pool go on as before.
// Withdrawn (closing): every object has left the bus; calls still queued get
// org.freedesktop.DBus.Error.UnknownObject.
//
// Ownership: the server process owns it; it refers to the pool and the connection it is given
// (both outlive it) and holds the controller objects it exported (shared_ptr) until they are
// released, withdrawn or dropped.
//
// Threads: it lives on the D-Bus service thread (moveToThread before Export). Qt delivers every
// call there; handleMessage only watches the caller's connection and queues the call on the
// dispatcher (call_dispatcher.h) under the caller's unique name, so the calls of one
// connection are served in order and those of different connections side by side: a port
// that is slow to open or close, a controller object being torn down or a Client_Remove that
// waits for a delivery thread delays only its own caller. A connection that leaves the bus is
// cleaned up by a job behind its last call. m_tableLock guards the references, the exported
// objects and the numbering; it is held only for bookkeeping (and the pool's AddRef/Release
// and object registration on the bus), never while a controller object is called or
// destroyed. The watch of client connections (m_watched, m_watcher) stays on the service
// thread. Handlers never make a blocking bus call. Suspend may be called from any thread (an
// atomic flag). Callbacks to clients leave from the clients' delivery threads
// (dbus_callback.h).

#include <QtCore/QHash>
#include <QtCore/QSet>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusVirtualObject>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "server/host/call_dispatcher.h"
#include "server/host/reference_table.h"
#include "server/service/tavra_pool.h"
#include "shared/dbus/contract_methods.h"

class QDBusServiceWatcher;

namespace tavra::host {

class BusService : public QDBusVirtualObject {
  Q_OBJECT
 public:
  static constexpr std::uint32_t kMaxNeverStartedPerConnection = 16;
  static constexpr std::uint64_t kMaxReferencesPerConnection = 1024;

  BusService(QDBusConnection connection, service::TavraPool& pool, QObject* parent = nullptr);
  ~BusService() override;

  // Puts the pool object on the bus. Call on the service thread (or before the object is moved
  // there). false when the path is taken.
  bool Export();
  // Serve no new creation request from now on. Any thread.
  void Suspend();
  [[nodiscard]] bool IsSuspended() const { return m_suspended.load(); }
  // Every object leaves the bus; later calls are refused. Service thread.
  void Withdraw();
  // Serves the calls still queued (they are refused once withdrawn), ends the workers, then
  // drops every controller object this service held and forgets every reference (after the
  // pool's teardown). Service thread, or any thread once that thread has ended.
  void DropAll();

  // QDBusVirtualObject
  QString introspect(const QString& path) const override;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

 private:
  struct Exported {
    std::shared_ptr<ITavra> object;
  };
  // One call as its handler sees it; `object` is the controller object called (a reference of
  // the call's own, so a Release inside drops it before the object ends), null for the pool.
  struct Call {
    const QDBusMessage& message;
    QList<QVariant> args;  // of the signature the contract gives the member
    std::string sender;
    std::shared_ptr<ITavra> object;

    [[nodiscard]] std::string Path() const { return message.path().toStdString(); }
    [[nodiscard]] std::int32_t I(int n) const { return args[n].toInt(); }
    [[nodiscard]] std::uint8_t Y(int n) const {
      return static_cast<std::uint8_t>(args[n].toUInt());
    }
    [[nodiscard]] QByteArray Ay(int n) const { return args[n].toByteArray(); }
  };
  // One row of a dispatch table: a member of the interface and its handler; `namesClient` when
  // its first argument is a client id, which must be one the caller registered.
  struct Method {
    QString member;
    std::function<void(BusService&, Call&)> handler;
    bool namesClient = false;
    const dbus::ContractMethod* contract = nullptr;  // its signatures; filled from the contract
  };

  // The dispatch tables (bus_methods.cpp), each exactly the methods the contract gives the
  // interface (checked at construction).
  static const std::vector<Method>& PoolMethods();
  static const std::vector<Method>& TavraMethods();
  [[nodiscard]] static bool ServesExactlyTheContract();

  // Runs on a worker: one queued call.
  void Serve(const QDBusMessage& message);
  // The table's row of the call; null once the call has been answered with an error (unknown
  // member, another signature) or refused (a client id of another connection).
  const Method* Accept(const Call& call, const std::vector<Method>& table);
  // Whether the client id a call names (its first argument) is not another connection's.
  [[nodiscard]] bool MayNameClient(const Call& call);

  // The pool's methods.
  void GetTavraInterface(Call& call);
  void CreateTavra(Call& call);
  void AddPoolRef(Call& call);
  void ReleasePool(Call& call);
  void GetPortTable(Call& call);
  // The controller object's methods that are not the object's own calls.
  void AddObjectRef(Call& call);
  void ReleaseObject(Call& call);
  void AddClient(Call& call, bool extended);
  void RemoveClient(Call& call);
  void ManagementRequest(Call& call);
  // Replies with the result code alone, or with the disconnection error.
  void ReplyResult(const Call& call, HRESULT hr);

  // Gives the sender its first pool reference when it holds none. false (and an error reply
  // sent) when a suspended server refuses it.
  bool EnsurePoolReference(const QDBusMessage& message);
  // The following take m_tableLock held.
  void AddPoolReferenceLocked(const std::string& connection);
  // Whether `connection` may take one more reference (and, for a never-started object, one
  // more such object).
  [[nodiscard]] bool MayHoldMoreLocked(const std::string& connection, bool neverStarted) const;
  std::uint32_t ReleasePoolReferenceLocked(const std::string& connection);
  // Exports `object` at `path` (if not yet) and adds one reference of `connection`.
  void AddObjectReferenceLocked(const QString& path,
                                const std::shared_ptr<ITavra>& object,
                                const std::string& connection);
  // The object's total fell to 0: it leaves the bus. Returns it, to be dropped after unlock.
  std::shared_ptr<ITavra> TakeObjectLocked(const QString& path);
  // Service thread: watches the caller's connection; its leaving queues ConnectionGone.
  void WatchConnection(const QString& uniqueName);
  void OnConnectionGone(const QString& uniqueName);
  // Worker, behind the connection's last call.
  void ConnectionGone(const QString& uniqueName);

  void Reply(const QDBusMessage& message, const QList<QVariant>& arguments);
  void ReplyError(const QDBusMessage& message, const QString& name, const QString& text);

  QDBusConnection m_connection;
  service::TavraPool& m_pool;
  QDBusServiceWatcher* m_watcher = nullptr;  // child of this object
  std::atomic<bool> m_suspended{false};
  std::atomic<bool> m_withdrawn{false};
  std::mutex m_tableLock;
  ReferenceTable m_references;             // guarded by m_tableLock
  std::map<QString, Exported> m_exported;  // by path; guarded by m_tableLock
  quint64 m_nextNeverStarted = 1;          // guarded by m_tableLock
  QSet<QString> m_watched;                 // unique names under watch; service thread
  CallDispatcher m_dispatcher;             // last: its workers end before the rest goes
};

}  // namespace tavra::host
