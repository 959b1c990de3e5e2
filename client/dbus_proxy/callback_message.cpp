#include "client/dbus_proxy/callback_message.h"

#include <QtCore/QByteArray>
#include <array>
#include <cstdio>
#include <exception>
#include <string_view>

namespace tavra::dbus {
namespace {

// The callback receives a valid pointer also for no data.
const std::uint8_t kNoData = 0;

struct Bytes {
  QByteArray array;
  [[nodiscard]] std::int32_t Length() const { return static_cast<std::int32_t>(array.size()); }
  [[nodiscard]] const std::uint8_t* Data() const {
    return array.isEmpty() ? &kNoData : reinterpret_cast<const std::uint8_t*>(array.constData());
  }
};

std::int32_t Int(const QVariant& v) {
  return static_cast<std::int32_t>(v.toInt());
}
std::uint8_t Byte(const QVariant& v) {
  return static_cast<std::uint8_t>(v.toUInt());
}
Bytes Data(const QVariant& v) {
  return Bytes{v.toByteArray()};
}

enum class Method {
  Connect_Indication,
  Connect_Confirm,
  Disconnect_Indication,
  Disconnected_Indication,
  Disconnect_Confirm,
  ConnectionData_Indication,
  ConnectionData_Confirm,
  Data_Indication,
  Data_Confirm,
  Management_Indication,
};

struct MethodSignature {
  std::string_view name;
  std::string_view signature;
  Method method;
};

constexpr std::array<MethodSignature, 10> kMethods{{
    {"Connect_Indication", "iiay", Method::Connect_Indication},
    {"Connect_Confirm", "iiiay", Method::Connect_Confirm},
    {"Disconnect_Indication", "iay", Method::Disconnect_Indication},
    {"Disconnected_Indication", "ii", Method::Disconnected_Indication},
    {"Disconnect_Confirm", "iay", Method::Disconnect_Confirm},
    {"ConnectionData_Indication", "iay", Method::ConnectionData_Indication},
    {"ConnectionData_Confirm", "iay", Method::ConnectionData_Confirm},
    {"Data_Indication", "iayyi", Method::Data_Indication},
    {"Data_Confirm", "iiay", Method::Data_Confirm},
    {"Management_Indication", "iiay", Method::Management_Indication},
}};

}  // namespace

static CallbackMessageResult DeliverUnguarded(const QString& member,
                                              const QString& signature,
                                              const QList<QVariant>& a,
                                              ITavraCallback& callback) {
  const MethodSignature* found = nullptr;
  for (const MethodSignature& m : kMethods) {
    if (member == QLatin1StringView(m.name.data(), static_cast<qsizetype>(m.name.size()))) {
      found = &m;
      break;
    }
  }
  if (found == nullptr) {
    return CallbackMessageResult::UnknownMethod;
  }
  const QLatin1StringView expected(found->signature.data(),
                                   static_cast<qsizetype>(found->signature.size()));
  // The signature fixes the count and the types of the arguments read below.
  if (signature != expected) {
    return CallbackMessageResult::BadArguments;
  }
  // The server ignores every callback's result; so does the proxy.
  switch (found->method) {
    case Method::Connect_Indication: {
      const Bytes d = Data(a[2]);
      (void)callback.Connect_Indication(Int(a[0]), Int(a[1]), d.Length(), d.Data());
      break;
    }
    case Method::Connect_Confirm: {
      const Bytes d = Data(a[3]);
      (void)callback.Connect_Confirm(Int(a[0]), Int(a[1]), Int(a[2]), d.Length(), d.Data());
      break;
    }
    case Method::Disconnect_Indication: {
      const Bytes d = Data(a[1]);
      (void)callback.Disconnect_Indication(Int(a[0]), d.Length(), d.Data());
      break;
    }
    case Method::Disconnected_Indication:
      (void)callback.Disconnected_Indication(Int(a[0]), Int(a[1]));
      break;
    case Method::Disconnect_Confirm: {
      const Bytes d = Data(a[1]);
      (void)callback.Disconnect_Confirm(Int(a[0]), d.Length(), d.Data());
      break;
    }
    case Method::ConnectionData_Indication: {
      const Bytes d = Data(a[1]);
      (void)callback.ConnectionData_Indication(Int(a[0]), d.Length(), d.Data());
      break;
    }
    case Method::ConnectionData_Confirm: {
      const Bytes d = Data(a[1]);
      (void)callback.ConnectionData_Confirm(Int(a[0]), d.Length(), d.Data());
      break;
    }
    case Method::Data_Indication: {
      const Bytes d = Data(a[1]);
      (void)callback.Data_Indication(Int(a[0]), d.Length(), d.Data(), Byte(a[2]), Int(a[3]));
      break;
    }
    case Method::Data_Confirm: {
      const Bytes d = Data(a[2]);
      (void)callback.Data_Confirm(Int(a[0]), Int(a[1]), d.Length(), d.Data());
      break;
    }
    case Method::Management_Indication: {
      const Bytes d = Data(a[2]);
      (void)callback.Management_Indication(Int(a[0]), Int(a[1]), d.Length(), d.Data());
      break;
    }
  }
  return CallbackMessageResult::Delivered;
}

CallbackMessageResult DeliverCallbackMessage(const QString& member,
                                             const QString& signature,
                                             const QList<QVariant>& arguments,
                                             ITavraCallback& callback) {
  // A client's exception must not end the bus thread: logged, and the next call is delivered.
  try {
    return DeliverUnguarded(member, signature, arguments, callback);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TavraLink proxy: callback %s threw: %s\n", qPrintable(member), e.what());
  } catch (...) {
    std::fprintf(stderr, "TavraLink proxy: callback %s threw\n", qPrintable(member));
  }
  return CallbackMessageResult::Delivered;
}

}  // namespace tavra::dbus
