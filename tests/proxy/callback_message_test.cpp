// A client's callback that throws: caught, and the next callback is delivered.

#include "client/dbus_proxy/callback_message.h"

#include <gtest/gtest.h>

#include <QtCore/QByteArray>
#include <stdexcept>

#include "shared/callback_adapter.h"

namespace tavra::dbus {
namespace {

class ThrowingOnce final : public CallbackAdapter {
 public:
  int calls = 0;
  std::int32_t lastType = 0;

 protected:
  HRESULT OnEvent(const CallbackEvent& event) override {
    if (event.kind != CallbackKind::Management_Indication) {
      return S_OK;
    }
    if (++calls == 1) {
      throw std::runtime_error("client fault");
    }
    lastType = event.values[0];
    return S_OK;
  }
};

TEST(ProxyCallbackMessage, ThrowingCallbackIsCaughtAndDeliveryGoesOn) {
  ThrowingOnce callback;
  const auto deliver = [&](int type) {
    return DeliverCallbackMessage(QStringLiteral("Management_Indication"), QStringLiteral("iiay"),
                                  {type, 0, QByteArray()}, callback);
  };
  EXPECT_EQ(deliver(3), CallbackMessageResult::Delivered);
  EXPECT_EQ(deliver(5), CallbackMessageResult::Delivered);
  EXPECT_EQ(callback.calls, 2);
  EXPECT_EQ(callback.lastType, 5);
}

}  // namespace
}  // namespace tavra::dbus
