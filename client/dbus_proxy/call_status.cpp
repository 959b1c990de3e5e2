#include "client/dbus_proxy/call_status.h"

namespace tavra::dbus {
namespace {

thread_local CallStatus t_status;

}  // namespace

CallStatus LastCallStatus() {
  return t_status;
}

void SetCallSucceeded() {
  t_status = CallStatus{};
}

void SetCallFailed(const QString& errorName, const QString& errorMessage) {
  t_status.failed = true;
  t_status.errorName = errorName.toStdString();
  t_status.errorMessage = errorMessage.toStdString();
}

}  // namespace tavra::dbus
