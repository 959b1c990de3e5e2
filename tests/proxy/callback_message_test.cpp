// A client's callback that throws: caught, and the next callback is delivered.

#include "client/dbus_proxy/callback_message.h"

#include <gtest/gtest.h>

#include <QtCore/QByteArray>
#include <stdexcept>

namespace tavra::dbus {
namespace {

class ThrowingOnce final : public ITavraCallback {
 public:
  HRESULT Connect_Indication(std::int32_t,
                             std::int32_t,
                             std::int32_t,
                             const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT Connect_Confirm(
      std::int32_t, std::int32_t, std::int32_t, std::int32_t, const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT Disconnect_Indication(std::int32_t, std::int32_t, const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT Disconnected_Indication(std::int32_t, std::int32_t) override { return S_OK; }
  HRESULT Disconnect_Confirm(std::int32_t, std::int32_t, const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT ConnectionData_Indication(std::int32_t, std::int32_t, const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT ConnectionData_Confirm(std::int32_t, std::int32_t, const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT Data_Indication(
      std::int32_t, std::int32_t, const std::uint8_t*, std::uint8_t, std::int32_t) override {
    return S_OK;
  }
  HRESULT Data_Confirm(std::int32_t, std::int32_t, std::int32_t, const std::uint8_t*) override {
    return S_OK;
  }
  HRESULT Management_Indication(std::int32_t type,
                                std::int32_t,
                                std::int32_t,
                                const std::uint8_t*) override {
    if (++calls == 1) {
      throw std::runtime_error("client fault");
    }
    lastType = type;
    return S_OK;
  }
  int calls = 0;
  std::int32_t lastType = 0;
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
