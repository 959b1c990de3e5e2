// Callback delivery: the dispatch of each item kind onto ITavraCallback, and the per-client
// queue and thread (order, wake-ups, stop, faults of the client).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/service/client_delivery.h"
#include "server/service/indication_dispatch.h"
#include "server/service/indication_item.h"
#include "server/service/indication_queue.h"
#include "shared/callback_adapter.h"
#include "shared/sync_event.h"

namespace tavra::service {
namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 5s;  // bound for every wait on a condition

struct Call {
  std::string method;
  std::vector<std::int32_t> args;  // every parameter but P_Data, in interface order
  std::vector<std::uint8_t> data;
  bool dataNonNull = false;
  bool operator==(const Call&) const = default;
};

void PrintTo(const Call& c, std::ostream* os) {
  *os << c.method << "(";
  for (std::int32_t v : c.args) {
    *os << v << ",";
  }
  *os << " data " << c.data.size() << (c.dataNonNull ? "" : " null") << ")";
}

// Records every call; an optional hook runs after recording (on the delivery thread).
class RecordingCallback : public CallbackAdapter {
 public:
  explicit RecordingCallback(Event* destroyed = nullptr) : m_destroyed(destroyed) {}
  ~RecordingCallback() override {
    if (m_destroyed != nullptr) {
      m_destroyed->Set();
    }
  }

  std::function<void(const Call&)> hook;

  bool WaitForCalls(std::size_t n) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, kWait, [&] { return m_calls.size() >= n; });
  }
  std::vector<Call> Calls() {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }

 protected:
  HRESULT OnEvent(const CallbackEvent& event) override {
    Call call{std::string(event.Name()), {}, {}, event.data != nullptr};
    const std::span<const std::int32_t> values = event.Values();
    call.args.assign(values.begin(), values.end());
    if (event.Method().HasData()) {
      const auto at = static_cast<std::ptrdiff_t>(event.Method().dataAt);
      call.args.insert(call.args.begin() + at, event.dataLength);
    }
    const std::span<const std::uint8_t> data = event.Data();
    call.data.assign(data.begin(), data.end());
    {
      std::lock_guard lock(m_mutex);
      m_calls.push_back(call);
    }
    m_cv.notify_all();
    if (hook) {
      hook(call);
    }
    // A failure result must not matter to the server.
    return CommandFailed_UnknownError;
  }

 private:
  Event* m_destroyed;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<Call> m_calls;
};

const std::vector<std::uint8_t> kData = {0xA1, 0x00, 0xFF};

struct KindCase {
  std::int32_t kind;
  Call expected;
};

// Item a = 11, b = 22, c = 0x133, data kData.
const KindCase kKindCases[] = {
    {1, {"Data_Indication", {22, 3, 0x33, 11}, kData, true}},
    {2, {"Data_Confirm", {11, 22, 3}, kData, true}},
    {3, {"Management_Indication", {11, 22, 3}, kData, true}},
    {4, {"Connect_Confirm", {11, 0x133, 22, 3}, kData, true}},
    {5, {"Connect_Indication", {11, 22, 3}, kData, true}},
    {6, {"Disconnect_Confirm", {11, 3}, kData, true}},
    {7, {"Disconnect_Indication", {11, 3}, kData, true}},
    {8, {"Disconnected_Indication", {11, 22}, {}, false}},
    {9, {"ConnectionData_Indication", {11, 3}, kData, true}},
    {10, {"ConnectionData_Confirm", {11, 3}, kData, true}},
};

TEST(DeliveryDispatch, EachKindCallsItsMethodWithTheTableArguments) {
  for (const KindCase& k : kKindCases) {
    SCOPED_TRACE(k.kind);
    RecordingCallback cb;
    EXPECT_EQ(DispatchIndication(cb, IndicationItem(7, k.kind, 11, 22, 0x133, kData)),
              DispatchOutcome::Called);
    EXPECT_EQ(cb.Calls(), std::vector<Call>{k.expected});
  }
}

TEST(DeliveryDispatch, KindOneTakesTheLowByteOfCAsResponseRequired) {
  struct {
    std::int32_t c;
    std::int32_t expected;
  } const cases[] = {{0x101, 1}, {0x100, 0}, {1, 1}, {0, 0}, {0x7FFFFF02, 2}, {-1, 0xFF}};
  for (const auto& t : cases) {
    RecordingCallback cb;
    ASSERT_EQ(DispatchIndication(cb, IndicationItem(1, kKindDataIndication, 5, 6, t.c)),
              DispatchOutcome::Called);
    ASSERT_EQ(cb.Calls().size(), 1u);
    EXPECT_EQ(cb.Calls()[0].args[2], t.expected) << std::hex << t.c;
  }
}

TEST(DeliveryDispatch, UnknownKindsMakeNoCall) {
  RecordingCallback cb;
  for (std::int32_t kind : {0, 11, -1, 16, 256, 0x7FFFFFFF}) {
    EXPECT_EQ(DispatchIndication(cb, IndicationItem(1, kind, 1, 2, 3, kData)),
              DispatchOutcome::NotDispatched)
        << kind;
  }
  EXPECT_TRUE(cb.Calls().empty());
}

TEST(DeliveryDispatch, ItemWithoutDataGivesNonNullPointerAndLengthZero) {
  for (std::int32_t kind = 1; kind <= 10; ++kind) {
    if (kind == kKindDisconnectedIndication) {
      continue;  // carries no buffer at all
    }
    RecordingCallback cb;
    ASSERT_EQ(DispatchIndication(cb, IndicationItem(1, kind, 1, 2, 3)), DispatchOutcome::Called);
    const Call call = cb.Calls().at(0);
    EXPECT_TRUE(call.dataNonNull) << call.method;
    EXPECT_TRUE(call.data.empty());
    // P_DataLength sits before P_Data in every such method; it is the last int recorded before
    // the data for all but Data_Indication, whose length is its second argument.
    const std::int32_t len = kind == kKindDataIndication ? call.args[1] : call.args.back();
    EXPECT_EQ(len, 0) << call.method;
  }
}

TEST(DeliveryDispatch, ThrowingCallbackIsReported) {
  RecordingCallback cb;
  cb.hook = [](const Call&) { throw std::runtime_error("client fault"); };
  EXPECT_EQ(DispatchIndication(cb, IndicationItem(1, kKindDataConfirm, 1, 0, 0)),
            DispatchOutcome::CallbackThrew);
}

TEST(DeliveryQueue, PopsInPushOrderAndClearFreesAll) {
  IndicationQueue q;
  EXPECT_EQ(q.Pop(), nullptr);
  for (std::int32_t i = 1; i <= 3; ++i) {
    q.Push(MakeIndicationItem(1, kKindDataConfirm, i, 0, 0));
  }
  q.Push(nullptr);
  EXPECT_EQ(q.Count(), 3u);
  EXPECT_EQ(q.Pop()->a, 1);
  EXPECT_EQ(q.Pop()->a, 2);
  q.Push(MakeIndicationItem(1, kKindDataConfirm, 4, 0, 0));
  EXPECT_EQ(q.Pop()->a, 3);
  EXPECT_EQ(q.Pop()->a, 4);
  EXPECT_EQ(q.Pop(), nullptr);
  q.Push(MakeIndicationItem(1, kKindDataConfirm, 5, 0, 0));
  q.Push(MakeIndicationItem(1, kKindDataConfirm, 6, 0, 0));
  q.Clear();
  EXPECT_EQ(q.Count(), 0u);
  EXPECT_EQ(q.Pop(), nullptr);
}

TEST(DeliveryItem, CopiesItsData) {
  std::vector<std::uint8_t> source = {1, 2, 3};
  auto item = MakeIndicationItem(4, kKindDataIndication, 5, 6, 7, source);
  source[0] = 9;
  EXPECT_EQ(item->data, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(item->clientId, 4);
  EXPECT_TRUE(MakeIndicationItem(4, 1, 0, 0, 0)->data.empty());
}

std::vector<std::int32_t> FirstArgs(const std::vector<Call>& calls) {
  std::vector<std::int32_t> out;
  out.reserve(calls.size());
  for (const Call& c : calls) {
    out.push_back(c.args.at(0));
  }
  return out;
}

TEST(ClientDelivery, ThreeItemsWithOneSignalArriveInOrderExactlyOnce) {
  auto cb = std::make_shared<RecordingCallback>();
  ClientDelivery delivery;
  // Posted before the thread runs: the data signal is set three times but counts once.
  for (std::int32_t i = 1; i <= 3; ++i) {
    ASSERT_TRUE(delivery.Post(MakeIndicationItem(7, kKindDataConfirm, i, 0, 0)));
  }
  EXPECT_EQ(delivery.QueuedCount(), 3u);
  ASSERT_TRUE(delivery.Start(cb));
  ASSERT_TRUE(cb->WaitForCalls(3));
  ASSERT_TRUE(delivery.Stop(kWait));
  EXPECT_EQ(FirstArgs(cb->Calls()), (std::vector<std::int32_t>{1, 2, 3}));
}

TEST(ClientDelivery, ItemsPostedDuringABlockedCallbackFollowInOrder) {
  auto cb = std::make_shared<RecordingCallback>();
  Event inside;
  Event release;
  cb->hook = [&](const Call& c) {
    if (c.args[0] == 1) {
      inside.Set();
      release.Wait(kWait);
    }
  };
  ClientDelivery delivery;
  ASSERT_TRUE(delivery.Start(cb));
  ASSERT_TRUE(delivery.Post(MakeIndicationItem(7, kKindDataConfirm, 1, 0, 0)));
  ASSERT_TRUE(inside.Wait(kWait));
  for (std::int32_t i = 2; i <= 4; ++i) {
    ASSERT_TRUE(delivery.Post(MakeIndicationItem(7, kKindDataConfirm, i, 0, 0)));
  }
  release.Set();
  ASSERT_TRUE(cb->WaitForCalls(4));
  ASSERT_TRUE(delivery.Stop(kWait));
  EXPECT_EQ(FirstArgs(cb->Calls()), (std::vector<std::int32_t>{1, 2, 3, 4}));
}

TEST(ClientDelivery, ItemForAStoppedClientIsFreedWithoutACall) {
  auto cb = std::make_shared<RecordingCallback>();
  ClientDelivery delivery;
  ASSERT_TRUE(delivery.Start(cb));
  ASSERT_TRUE(delivery.Stop(kWait));
  EXPECT_FALSE(delivery.Post(MakeIndicationItem(7, kKindDataIndication, 1, 2, 0, kData)));
  EXPECT_EQ(delivery.QueuedCount(), 0u);
  EXPECT_TRUE(cb->Calls().empty());
  EXPECT_FALSE(delivery.Start(cb));  // a stopped delivery does not come back
}

TEST(ClientDelivery, StopBeforeStartFreesQueuedItems) {
  ClientDelivery delivery;
  ASSERT_TRUE(delivery.Post(MakeIndicationItem(7, kKindDataConfirm, 1, 0, 0)));
  EXPECT_TRUE(delivery.Stop(kWait));
  EXPECT_EQ(delivery.QueuedCount(), 0u);
  EXPECT_FALSE(delivery.Post(MakeIndicationItem(7, kKindDataConfirm, 2, 0, 0)));
}

TEST(ClientDelivery, StartRefusesNullCallbackAndSecondStart) {
  ClientDelivery delivery;
  EXPECT_FALSE(delivery.Start(nullptr));
  auto cb = std::make_shared<RecordingCallback>();
  ASSERT_TRUE(delivery.Start(cb));
  EXPECT_FALSE(delivery.Start(cb));
  EXPECT_FALSE(delivery.Post(nullptr));
}

TEST(ClientDelivery, ThrowingCallbackDoesNotStopTheNextDelivery) {
  auto cb = std::make_shared<RecordingCallback>();
  cb->hook = [](const Call& c) {
    if (c.args[0] == 1) {
      throw std::runtime_error("client fault");
    }
    if (c.args[0] == 2) {
      throw 42;  // not even an exception class
    }
  };
  ClientDelivery delivery;
  ASSERT_TRUE(delivery.Start(cb));
  for (std::int32_t i = 1; i <= 3; ++i) {
    ASSERT_TRUE(delivery.Post(MakeIndicationItem(7, kKindDataConfirm, i, 0, 0)));
  }
  ASSERT_TRUE(cb->WaitForCalls(3));
  ASSERT_TRUE(delivery.Stop(kWait));
  EXPECT_EQ(FirstArgs(cb->Calls()), (std::vector<std::int32_t>{1, 2, 3}));
}

TEST(ClientDelivery, CallWithoutDataGetsNonNullPointerAndLengthZero) {
  auto cb = std::make_shared<RecordingCallback>();
  ClientDelivery delivery;
  ASSERT_TRUE(delivery.Start(cb));
  ASSERT_TRUE(delivery.Post(MakeIndicationItem(7, kKindManagementIndication, 0x24000003, 0, 0)));
  ASSERT_TRUE(cb->WaitForCalls(1));
  ASSERT_TRUE(delivery.Stop(kWait));
  const Call expected{"Management_Indication", {0x24000003, 0, 0}, {}, true};
  EXPECT_EQ(cb->Calls(), std::vector<Call>{expected});
}

TEST(ClientDelivery, StopWhileIdleEndsPromptlyAndLetsGoOfTheCallback) {
  auto cb = std::make_shared<RecordingCallback>();
  ClientDelivery delivery;
  ASSERT_TRUE(delivery.Start(cb));
  ASSERT_TRUE(delivery.Post(MakeIndicationItem(7, kKindDataConfirm, 1, 0, 0)));
  ASSERT_TRUE(cb->WaitForCalls(1));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(delivery.Stop(60s));
  // Far below the time-out: the thread was woken, not timed out.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
  EXPECT_EQ(cb.use_count(), 1);
}

TEST(ClientDelivery, StopTimesOutInsideACallbackAndTheDrainStillCompletes) {
  auto cb = std::make_shared<RecordingCallback>();
  Event inside;
  Event release;
  cb->hook = [&](const Call& c) {
    if (c.args[0] == 1) {
      inside.Set();
      release.Wait(kWait);
    }
  };
  auto delivery = std::make_unique<ClientDelivery>();
  ASSERT_TRUE(delivery->Start(cb));
  ASSERT_TRUE(delivery->Post(MakeIndicationItem(7, kKindDataConfirm, 1, 0, 0)));
  ASSERT_TRUE(inside.Wait(kWait));
  ASSERT_TRUE(delivery->Post(MakeIndicationItem(7, kKindDataConfirm, 2, 0, 0)));
  EXPECT_FALSE(delivery->Stop(20ms));
  // The thread still holds its reference while it can call the client.
  EXPECT_EQ(cb.use_count(), 2);
  EXPECT_FALSE(delivery->Post(MakeIndicationItem(7, kKindDataConfirm, 3, 0, 0)));
  release.Set();
  delivery.reset();  // waits for the thread
  EXPECT_EQ(cb.use_count(), 1);
  // The stop took effect after the drain that was under way had emptied the queue.
  EXPECT_EQ(FirstArgs(cb->Calls()), (std::vector<std::int32_t>{1, 2}));
}

TEST(ClientDelivery, CallbackMayPostToItsOwnQueue) {
  auto cb = std::make_shared<RecordingCallback>();
  ClientDelivery delivery;
  cb->hook = [&](const Call& c) {
    if (c.args[0] == 1) {
      // As a client calling ITavra from a callback, which queues an item for itself.
      delivery.Post(MakeIndicationItem(7, kKindDataConfirm, 2, 0, 0));
    }
  };
  ASSERT_TRUE(delivery.Start(cb));
  ASSERT_TRUE(delivery.Post(MakeIndicationItem(7, kKindDataConfirm, 1, 0, 0)));
  ASSERT_TRUE(cb->WaitForCalls(2));
  ASSERT_TRUE(delivery.Stop(kWait));
  EXPECT_EQ(FirstArgs(cb->Calls()), (std::vector<std::int32_t>{1, 2}));
}

TEST(ClientDelivery, RemovalFromInsideACallbackNeitherBlocksNorCrashes) {
  Event destroyed;
  auto cb = std::make_shared<RecordingCallback>(&destroyed);
  auto delivery = std::make_unique<ClientDelivery>();
  std::atomic<bool> stopResult{true};
  cb->hook = [&](const Call&) {
    // As a client that calls Client_Remove for itself from inside a callback.
    stopResult = delivery->Stop(kWait);
    delivery.reset();
  };
  ASSERT_TRUE(delivery->Start(cb));
  ASSERT_TRUE(delivery->Post(MakeIndicationItem(7, kKindDataConfirm, 1, 0, 0)));
  std::weak_ptr<RecordingCallback> weak = cb;
  cb.reset();
  // The thread ends by itself and lets go of the last reference to the callback object.
  ASSERT_TRUE(destroyed.Wait(kWait));
  EXPECT_FALSE(stopResult);  // it could not wait for itself
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace tavra::service
