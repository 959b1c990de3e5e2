// The proxy against a scripted server: the exact form of every call, the results and outputs it
// hands back, replies of the wrong form, the callbacks it forwards (and those it drops), the
// references it releases, and a server that closes or leaves.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QtDBus/QDBusObjectPath>
#include <mutex>
#include <thread>

#include "fake_server_support.h"
#include "proxy_support.h"
#include "shared/dbus/port_table_row.h"

namespace tavra::dbus::test {
namespace {

using tavra::test::kWait;
using tavra::test::TestBus;

const QString kPort4 = QStringLiteral("/dk/norvik/TavraLink/Port4");

QVariant Ay(std::initializer_list<int> bytes) {
  QByteArray array;
  for (const int b : bytes) {
    array.append(static_cast<char>(b));
  }
  return QVariant::fromValue(array);
}

QVariant Y(int value) {
  return QVariant::fromValue(static_cast<uchar>(value));
}

class ProxyContract : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_bus.Ready());
    m_fake = std::make_unique<FakeServer>(m_bus.Address());
    ASSERT_TRUE(m_fake->Start());
    ASSERT_EQ(ConnectTavraPool(Options(), m_pool), S_OK);
    ASSERT_EQ(m_pool->GetTavraInterface(4, 0, m_tavra), S_OK);
  }

  // The fake is the only server: nothing real may be started.
  ProxyOptions Options() const {
    ProxyOptions options = OptionsFor(m_bus);
    options.program = (m_bus.Dir() / "no-such-program").string();
    return options;
  }

  // Registers `callback` and returns the path the proxy exported for it.
  QString Register(std::shared_ptr<ITavraCallback> callback) {
    const std::size_t from = m_fake->Calls().size();
    std::int32_t id = -1;
    EXPECT_EQ(m_tavra->Client_Add(std::move(callback), id), S_OK);
    EXPECT_EQ(id, 5);
    const std::optional<RecordedCall> call =
        m_fake->WaitForCall(QStringLiteral("Client_Add"), kWait, from);
    if (!call) {
      return {};
    }
    m_client = call->sender;
    return call->arguments.value(0).value<QDBusObjectPath>().path();
  }

  TestBus m_bus{false};
  std::unique_ptr<FakeServer> m_fake;
  std::shared_ptr<TavraPoolProxy> m_pool;
  std::shared_ptr<ITavra> m_tavra;
  QString m_client;  // the proxy's unique name
};

TEST_F(ProxyContract, PoolCallsHaveTheContractsForm) {
  const std::vector<RecordedCall> calls = m_fake->Calls();
  ASSERT_EQ(calls.size(), 2u);
  // The first pool call is the one that takes the reference.
  EXPECT_EQ(calls[0].path, QStringLiteral("/dk/norvik/TavraLink/Pool"));
  EXPECT_EQ(calls[0].member, QStringLiteral("GetPortTable"));
  EXPECT_EQ(calls[1].member, QStringLiteral("GetTavraInterface"));
  EXPECT_EQ(calls[1].signature, QStringLiteral("ii"));
  EXPECT_EQ(calls[1].arguments, (QList<QVariant>{4, 0}));
  EXPECT_EQ(m_pool->ServerName(), m_fake->UniqueName().toStdString());

  std::shared_ptr<ITavra> created;
  ASSERT_EQ(m_pool->CreateTavra(created), S_OK);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(m_fake->Calls().back().member, QStringLiteral("CreateTavra"));
  EXPECT_EQ(m_fake->Calls().back().signature, QString());
}

struct MethodCase {
  const char* name;
  std::function<HRESULT(ITavra&)> call;
  QString member;
  QString signature;
  QList<QVariant> arguments;
};

TEST_F(ProxyContract, EveryControllerMethodSendsItsArgumentsExactly) {
  static const std::uint8_t kData[] = {0xDE, 0xAD, 0x00, 0xEF};
  std::int32_t out1 = 0;
  std::int32_t out2 = 0;
  std::int32_t out3 = 0;
  std::vector<std::uint8_t> block;
  const std::vector<MethodCase> cases = {
      {"Client_Remove",
       [](ITavra& t) { return t.Client_Remove(11); },
       QStringLiteral("Client_Remove"),
       QStringLiteral("i"),
       {11}},
      {"Data_Request",
       [](ITavra& t) { return t.Data_Request(1, 2, 4, kData, 1, -3); },
       QStringLiteral("Data_Request"),
       QStringLiteral("iiayyi"),
       {1, 2, Ay({0xDE, 0xAD, 0x00, 0xEF}), Y(1), -3}},
      {"Data_Response",
       [](ITavra& t) { return t.Data_Response(1, 9, 3, kData); },
       QStringLiteral("Data_Response"),
       QStringLiteral("iiay"),
       {1, 9, Ay({0xDE, 0xAD, 0x00})}},
      {"Connect_Request",
       [](ITavra& t) { return t.Connect_Request(1, 7, 3, 0, nullptr); },
       QStringLiteral("Connect_Request"),
       QStringLiteral("iiiay"),
       {1, 7, 3, Ay({})}},
      {"Management_Request",
       [&](ITavra& t) {
         return t.Management_Request(1, LINK_STATUS_BLOCK, out1, out2, out3, block);
       },
       QStringLiteral("Management_Request"),
       QStringLiteral("ii"),
       {1, LINK_STATUS_BLOCK}},
      {"Connect_Response",
       [](ITavra& t) { return t.Connect_Response(1, 4, 1, 1, kData); },
       QStringLiteral("Connect_Response"),
       QStringLiteral("iiyay"),
       {1, 4, Y(1), Ay({0xDE})}},
      {"Management_SetupBackoff",
       [](ITavra& t) { return t.Management_SetupBackoff(1, 100, 10000, 10, 0); },
       QStringLiteral("Management_SetupBackoff"),
       QStringLiteral("iiiii"),
       {1, 100, 10000, 10, 0}},
      {"Disconnect_Request",
       [](ITavra& t) { return t.Disconnect_Request(1, 4, 2, kData); },
       QStringLiteral("Disconnect_Request"),
       QStringLiteral("iiay"),
       {1, 4, Ay({0xDE, 0xAD})}},
      {"Disconnect_Response",
       [](ITavra& t) { return t.Disconnect_Response(1, 4, 0, kData); },
       QStringLiteral("Disconnect_Response"),
       QStringLiteral("iiay"),
       {1, 4, Ay({})}},
      {"ConnectionData_Request",
       [](ITavra& t) { return t.ConnectionData_Request(1, 4, 1, kData); },
       QStringLiteral("ConnectionData_Request"),
       QStringLiteral("iiay"),
       {1, 4, Ay({0xDE})}},
      {"ConnectionData_Response",
       [](ITavra& t) { return t.ConnectionData_Response(1, 4, 4, kData); },
       QStringLiteral("ConnectionData_Response"),
       QStringLiteral("iiay"),
       {1, 4, Ay({0xDE, 0xAD, 0x00, 0xEF})}},
  };
  for (const MethodCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t from = m_fake->Calls().size();
    EXPECT_EQ(c.call(*m_tavra), S_OK);
    const std::vector<RecordedCall> calls = m_fake->Calls();
    ASSERT_EQ(calls.size(), from + 1);
    const RecordedCall& call = calls.back();
    EXPECT_EQ(call.path, kPort4);
    EXPECT_EQ(call.member, c.member);
    EXPECT_EQ(call.signature, c.signature);
    EXPECT_EQ(call.arguments, c.arguments);
  }
}

TEST_F(ProxyContract, ResultsAndOutputsComeBackAsTheServerSentThem) {
  m_fake->SetResponder([](const QDBusMessage& call) {
    QDBusMessage reply = call.createReply();
    if (call.member() == QLatin1StringView("Client_AddEx")) {
      reply << 0 << 17 << 0;
    } else if (call.member() == QLatin1StringView("Management_Request")) {
      reply << 0 << STATUS_ONLINE << 1 << 6 << Ay({3, 1, 2, 3, 4, 0});
    } else if (call.member() == QLatin1StringView("Data_Request")) {
      reply << CommandFailed_NoConnection;
    } else if (call.member() == QLatin1StringView("GetTavraInterface")) {
      reply << E_FAIL << QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")));
    } else {
      return QDBusMessage();
    }
    return reply;
  });
  std::int32_t id = -1;
  std::int32_t link = -1;
  EXPECT_EQ(m_tavra->Client_AddEx(std::make_shared<RecordingCallback>(), id, link), S_OK);
  EXPECT_EQ(id, 17);
  EXPECT_EQ(link, 0);

  std::int32_t result = 0;
  std::int32_t type = 0;
  std::int32_t size = 0;
  std::vector<std::uint8_t> data;
  EXPECT_EQ(m_tavra->Management_Request(17, CONNECT_STATUS, result, type, size, data), S_OK);
  EXPECT_EQ(std::tie(result, type, size), std::make_tuple(STATUS_ONLINE, 1, 6));
  EXPECT_EQ(data, Bytes({3, 1, 2, 3, 4, 0}));

  EXPECT_EQ(m_tavra->Data_Request(17, 1, 0, nullptr, 0, 0), CommandFailed_NoConnection);
  EXPECT_FALSE(LastCallStatus().failed);

  std::shared_ptr<ITavra> other = m_tavra;
  EXPECT_EQ(m_pool->GetTavraInterface(10, 0, other), E_FAIL);
  EXPECT_EQ(other, nullptr);
}

struct BadReply {
  const char* name;
  std::function<QDBusMessage(const QDBusMessage&)> reply;
  std::string errorName;
};

TEST_F(ProxyContract, RepliesOfAnotherFormAreCallFailures) {
  const std::vector<BadReply> cases = {
      {"D-Bus error",
       [](const QDBusMessage& call) {
         return call.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"),
                                      QStringLiteral("boom"));
       },
       "org.freedesktop.DBus.Error.Failed"},
      {"wrong signature",
       [](const QDBusMessage& call) {
         QDBusMessage reply = call.createReply();
         reply << 0u << 0 << 0 << 0 << QByteArray();
         return reply;
       },
       kBadReplyError},
      {"size disagrees with the data",
       [](const QDBusMessage& call) {
         QDBusMessage reply = call.createReply();
         reply << 0 << 1 << 2 << 7 << Ay({1, 2});
         return reply;
       },
       kBadReplyError},
  };
  for (const BadReply& c : cases) {
    SCOPED_TRACE(c.name);
    m_fake->SetResponder(c.reply);
    std::int32_t result = 111;
    std::int32_t type = 222;
    std::int32_t size = 333;
    std::vector<std::uint8_t> data{9};
    EXPECT_EQ(m_tavra->Management_Request(1, CONNECT_STATUS, result, type, size, data),
              kCallFailed);
    EXPECT_TRUE(LastCallStatus().failed);
    EXPECT_EQ(LastCallStatus().errorName, c.errorName);
    EXPECT_EQ(std::tie(result, type, size), std::make_tuple(111, 222, 333));
    EXPECT_EQ(data, Bytes({9}));
  }
  EXPECT_EQ(LastCallStatus().errorMessage, "Management_Request answered P_DataSize 7 with 2 bytes");
  m_fake->SetResponder(nullptr);
  EXPECT_EQ(m_tavra->Client_Remove(1), S_OK);
  EXPECT_FALSE(LastCallStatus().failed);

  // Success without an object to go with it.
  m_fake->SetResponder([](const QDBusMessage& call) {
    QDBusMessage reply = call.createReply();
    reply << 0 << QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")));
    return reply;
  });
  std::shared_ptr<ITavra> none;
  EXPECT_EQ(m_pool->CreateTavra(none), kCallFailed);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(LastCallStatus().errorName, kBadReplyError);
  // The port table must be ten ports in order, each with six identity bytes.
  m_fake->SetResponder([](const QDBusMessage& call) {
    QDBusMessage reply = call.createReply();
    reply << QVariant::fromValue(QList<PortTableRow>{{0, true, true, 1, QByteArray(5, '\0')}});
    return reply;
  });
  std::vector<PortStatus> ports{PortStatus{}};
  EXPECT_EQ(m_pool->GetPortTable(ports), kCallFailed);
  EXPECT_EQ(ports.size(), 1u);
}

TEST_F(ProxyContract, CallbacksReachTheUserObjectWithTheirArguments) {
  auto callback = std::make_shared<RecordingCallback>();
  const QString path = Register(callback);
  EXPECT_TRUE(path.startsWith(QStringLiteral("/dk/norvik/TavraLink/Client/Callback")))
      << path.toStdString();

  struct Sent {
    QString member;
    QList<QVariant> arguments;
    CallbackEvent expected;
  };
  const std::vector<Sent> sent = {
      {QStringLiteral("Connect_Indication"),
       {1, 2, Ay({0xA1})},
       {"Connect_Indication", {1, 2}, Bytes({0xA1})}},
      {QStringLiteral("Connect_Confirm"),
       {3, 4, CommandFailed_ConnectRefused, Ay({})},
       {"Connect_Confirm", {3, 4, CommandFailed_ConnectRefused}, {}}},
      {QStringLiteral("Disconnect_Indication"),
       {5, Ay({1, 2})},
       {"Disconnect_Indication", {5}, Bytes({1, 2})}},
      {QStringLiteral("Disconnected_Indication"),
       {6, CommandFailed_ConnectionLost},
       {"Disconnected_Indication", {6, CommandFailed_ConnectionLost}, {}}},
      {QStringLiteral("Disconnect_Confirm"), {7, Ay({0})}, {"Disconnect_Confirm", {7}, Bytes({0})}},
      {QStringLiteral("ConnectionData_Indication"),
       {8, Ay({0xFF, 0xFE})},
       {"ConnectionData_Indication", {8}, Bytes({0xFF, 0xFE})}},
      {QStringLiteral("ConnectionData_Confirm"), {9, Ay({})}, {"ConnectionData_Confirm", {9}, {}}},
      {QStringLiteral("Data_Indication"),
       {10, Ay({0x15, 0}), Y(1), 4242},
       {"Data_Indication", {10, 1, 4242}, Bytes({0x15, 0})}},
      {QStringLiteral("Data_Confirm"),
       {11, CommandFailed_ControllerBusy, Ay({})},
       {"Data_Confirm", {11, CommandFailed_ControllerBusy}, {}}},
      {QStringLiteral("Management_Indication"),
       {STATUS_NO_CONNECTION, 0, Ay({})},
       {"Management_Indication", {STATUS_NO_CONNECTION, 0}, {}}},
  };
  std::vector<CallbackEvent> expected;
  for (const Sent& s : sent) {
    ASSERT_TRUE(m_fake->SendCallback(m_client, path, s.member, s.arguments));
    expected.push_back(s.expected);
  }
  ASSERT_TRUE(callback->WaitForCount(sent.size()));
  EXPECT_EQ(callback->Events(), expected);
}

TEST_F(ProxyContract, CallbacksFromOthersOrOfAnotherFormAreDropped) {
  auto callback = std::make_shared<RecordingCallback>();
  const QString path = Register(callback);
  const QString member = QStringLiteral("Data_Confirm");
  // From the server, but not of the contract's form, or to a path never handed out.
  ASSERT_TRUE(m_fake->SendCallback(m_client, path, member, {1, 2}));
  ASSERT_TRUE(m_fake->SendCallback(m_client, path, member, {1, 2, Ay({}), 3}));
  ASSERT_TRUE(
      m_fake->SendCallback(m_client, path, QStringLiteral("Data_Confirmed"), {1, 2, Ay({})}));
  ASSERT_TRUE(m_fake->SendCallback(m_client, path + QStringLiteral("9"), member, {1, 2, Ay({})}));
  ASSERT_TRUE(m_fake->SendCallback(m_client, path, member, {1, 2, Ay({})},
                                   QStringLiteral("dk.norvik.TavraLink.Other")));

  // From another connection: refused (this caller waits for the answer).
  const QDBusConnection intruder = QDBusConnection::connectToBus(
      QString::fromStdString(m_bus.Address()), QStringLiteral("intruder"));
  QDBusMessage forged = QDBusMessage::createMethodCall(
      m_client, path, QStringLiteral("dk.norvik.TavraLink.TavraCallback"), member);
  forged << 66 << 0 << QByteArray();
  const QDBusMessage refused = intruder.call(forged, QDBus::Block, 10000);
  EXPECT_EQ(refused.type(), QDBusMessage::ErrorMessage);
  EXPECT_EQ(refused.errorName(), QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
  QDBusConnection::disconnectFromBus(QStringLiteral("intruder"));

  ASSERT_TRUE(m_fake->SendCallback(m_client, path, member, {77, 0, Ay({})}));
  ASSERT_TRUE(callback->WaitForCount(1));
  EXPECT_EQ(callback->Events(), (std::vector<CallbackEvent>{{"Data_Confirm", {77, 0}, {}}}));
}

TEST_F(ProxyContract, CallbackObjectAnswersIntrospectWithItsInterface) {
  const QString path = Register(std::make_shared<RecordingCallback>());
  QDBusMessage introspect = QDBusMessage::createMethodCall(
      m_client, path, QStringLiteral("org.freedesktop.DBus.Introspectable"),
      QStringLiteral("Introspect"));
  const QDBusMessage reply = m_fake->Connection().call(introspect, QDBus::Block, 10000);
  ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage);
  const QString xml = reply.arguments().value(0).toString();
  EXPECT_TRUE(
      xml.contains(QStringLiteral("<interface name=\"dk.norvik.TavraLink.TavraCallback\">")));
  EXPECT_TRUE(xml.contains(QStringLiteral("<method name=\"Data_Indication\">")));
  EXPECT_TRUE(
      xml.contains(QStringLiteral("<arg name=\"P_ResponseId\" type=\"i\" direction=\"in\"/>")));
}

TEST_F(ProxyContract, TenThousandCallbacksArriveInOrderOnOneThreadOfTheProxy) {
  constexpr int kCount = 10000;
  auto callback = std::make_shared<RecordingCallback>();
  const QString path = Register(callback);
  const QString member = QStringLiteral("Data_Indication");
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(m_fake->SendCallback(m_client, path, member, {i, Ay({i & 0xFF}), Y(0), 0}));
  }
  ASSERT_TRUE(callback->WaitForCount(kCount, 30s)) << callback->Count();
  const std::vector<CallbackEvent> events = callback->Events();
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(events[static_cast<std::size_t>(i)].values.at(0), i);
    ASSERT_EQ(events[static_cast<std::size_t>(i)].data, Bytes({i & 0xFF}));
  }
  ASSERT_EQ(callback->Threads().size(), 1u);
  EXPECT_NE(callback->Threads().front(), std::this_thread::get_id());
}

TEST_F(ProxyContract, NullCallbackTravelsAsTheRootPath) {
  m_fake->SetResponder([](const QDBusMessage& call) {
    QDBusMessage reply = call.createReply();
    reply << CommandFailed_ClientNotRegistered << 0;
    return reply;
  });
  std::int32_t id = -1;
  EXPECT_EQ(m_tavra->Client_Add(nullptr, id), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(id, -1);
  EXPECT_EQ(m_fake->Calls().back().arguments.value(0).value<QDBusObjectPath>().path(),
            QStringLiteral("/"));
}

struct RemoveCase {
  HRESULT result;
  bool callbackKept;
};

TEST_F(ProxyContract, ClientRemoveLetsGoOfTheCallbackObject) {
  for (const RemoveCase c :
       {RemoveCase{S_OK, false}, RemoveCase{CommandFailed_ClientNotRegistered, false},
        RemoveCase{CommandFailed_NotInitialised, true}}) {
    SCOPED_TRACE(c.result);
    auto callback = std::make_shared<RecordingCallback>();
    const std::weak_ptr<RecordingCallback> weak = callback;
    const QString path = Register(std::move(callback));
    EXPECT_FALSE(weak.expired());
    m_fake->SetResponder([&c](const QDBusMessage& call) {
      QDBusMessage reply = call.createReply();
      reply << c.result;
      return reply;
    });
    EXPECT_EQ(m_tavra->Client_Remove(5), c.result);
    m_fake->SetResponder(nullptr);
    EXPECT_EQ(!weak.expired(), c.callbackKept);
  }
}

struct ReleaseCase {
  unsigned remaining;
  bool callbackKept;
};

TEST_F(ProxyContract, LastOwnerReleasesTheControllerObject) {
  for (const ReleaseCase c : {ReleaseCase{1, true}, ReleaseCase{0, false}}) {
    SCOPED_TRACE(c.remaining);
    std::shared_ptr<ITavra> tavra;
    ASSERT_EQ(m_pool->GetTavraInterface(4, 0, tavra), S_OK);
    auto callback = std::make_shared<RecordingCallback>();
    const std::weak_ptr<RecordingCallback> weak = callback;
    std::int32_t id = -1;
    ASSERT_EQ(tavra->Client_Add(std::move(callback), id), S_OK);
    m_fake->SetResponder([&c](const QDBusMessage& call) {
      QDBusMessage reply = call.createReply();
      if (call.member() != QLatin1StringView("Release")) {
        return QDBusMessage();
      }
      reply << c.remaining;
      return reply;
    });
    const std::size_t from = m_fake->Calls().size();
    std::shared_ptr<ITavra> copy = tavra;
    tavra.reset();
    EXPECT_EQ(m_fake->Calls().size(), from);  // a copy still holds it
    copy.reset();
    const std::vector<RecordedCall> calls = m_fake->Calls();
    ASSERT_EQ(calls.size(), from + 1);
    EXPECT_EQ(calls.back().member, QStringLiteral("Release"));
    EXPECT_EQ(calls.back().path, kPort4);
    EXPECT_EQ(!weak.expired(), c.callbackKept);
    m_fake->SetResponder(nullptr);
  }
  const std::size_t from = m_fake->Calls().size();
  m_tavra.reset();
  m_pool.reset();
  const std::vector<RecordedCall> calls = m_fake->Calls();
  ASSERT_EQ(calls.size(), from + 2);
  EXPECT_EQ(calls[from].path, kPort4);
  EXPECT_EQ(calls[from + 1].path, QStringLiteral("/dk/norvik/TavraLink/Pool"));
  EXPECT_EQ(calls[from + 1].member, QStringLiteral("Release"));
}

TEST_F(ProxyContract, ServerLeavingIsSeenAndLaterCallsFailWithoutAStart) {
  tavra::Event gone;
  m_pool->SetServerGoneHandler([&gone] { gone.Set(); });
  m_fake.reset();  // its connection leaves the bus
  ASSERT_TRUE(gone.Wait(kWait));
  EXPECT_TRUE(m_pool->ServerGone());
  EXPECT_EQ(m_tavra->Client_Remove(5), kCallFailed);
  EXPECT_TRUE(LastCallStatus().failed);
  // The bus's word for a unique name that is gone.
  EXPECT_THAT(LastCallStatus().errorName,
              ::testing::AnyOf("org.freedesktop.DBus.Error.NameHasNoOwner",
                               "org.freedesktop.DBus.Error.ServiceUnknown"));
  std::vector<PortStatus> ports;
  EXPECT_EQ(m_pool->GetPortTable(ports), kCallFailed);
  EXPECT_FALSE(m_bus.NameHasOwner("dk.norvik.TavraLink"));
  // A handler set afterwards runs at once.
  bool late = false;
  m_pool->SetServerGoneHandler([&late] { late = true; });
  EXPECT_TRUE(late);
}

TEST_F(ProxyContract, LastProxyMayBeDroppedInsideACallback) {
  struct Holder {
    std::mutex mutex;
    std::shared_ptr<TavraPoolProxy> pool;
    std::shared_ptr<ITavra> tavra;
  };
  auto holder = std::make_shared<Holder>();
  tavra::Event dropped;
  auto callback = std::make_shared<RecordingCallback>([holder, &dropped](const CallbackEvent&) {
    std::shared_ptr<TavraPoolProxy> pool;
    std::shared_ptr<ITavra> tavra;
    {
      std::lock_guard lock(holder->mutex);
      pool = std::move(holder->pool);
      tavra = std::move(holder->tavra);
    }
    tavra.reset();  // Release, sent from the proxy's own thread
    pool.reset();   // the connection ends here
    dropped.Set();
  });
  const QString path = Register(callback);
  {
    std::lock_guard lock(holder->mutex);
    holder->pool = std::move(m_pool);
    holder->tavra = std::move(m_tavra);
  }
  ASSERT_TRUE(
      m_fake->SendCallback(m_client, path, QStringLiteral("Disconnected_Indication"), {1, 2}));
  ASSERT_TRUE(dropped.Wait(kWait));
  const std::vector<RecordedCall> calls = m_fake->Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2].path, kPort4);
  EXPECT_EQ(calls.back().path, QStringLiteral("/dk/norvik/TavraLink/Pool"));
  EXPECT_EQ(calls.back().member, QStringLiteral("Release"));
  // The next connection joins the thread that was left behind.
  ASSERT_EQ(ConnectTavraPool(Options(), m_pool), S_OK);
}

TEST(ProxyClosingServer, ClientWaitsForItToLeaveAndStartsANewOne) {
  TestBus bus(false);
  ASSERT_TRUE(bus.Ready());
  FakeServer closing(bus.Address());
  ASSERT_TRUE(closing.Start());
  closing.SetResponder([&closing](const QDBusMessage& call) {
    closing.ReleaseName();
    return call.createErrorReply(QStringLiteral("dk.norvik.TavraLink.Error.ShuttingDown"),
                                 QStringLiteral("the server is shutting down"));
  });
  std::shared_ptr<TavraPoolProxy> pool;
  std::string error;
  ASSERT_EQ(ConnectTavraPool(OptionsFor(bus), pool, &error), S_OK) << error;
  EXPECT_NE(pool->ServerName(), closing.UniqueName().toStdString());
  EXPECT_EQ(pool->ServerName(), bus.NameOwner("dk.norvik.TavraLink"));
  EXPECT_EQ(closing.Calls().size(), 1u);
}

}  // namespace
}  // namespace tavra::dbus::test
