#include "client/dbus_proxy/callback_message.h"

#include <cstdio>
#include <exception>

#include "shared/dbus/callback_arguments.h"

namespace tavra::dbus {
namespace {

CallbackMessageResult DeliverUnguarded(const QString& member,
                                       const QString& signature,
                                       const QList<QVariant>& arguments,
                                       ITavraCallback& callback) {
  if (!IsCallbackMember(member)) {
    return CallbackMessageResult::UnknownMethod;
  }
  QByteArray data;
  const std::optional<CallbackEvent> event = ParseCallback(member, signature, arguments, data);
  if (!event) {
    return CallbackMessageResult::BadArguments;
  }
  // The server ignores every callback's result; so does the proxy.
  (void)DeliverEvent(callback, *event);
  return CallbackMessageResult::Delivered;
}

}  // namespace

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
