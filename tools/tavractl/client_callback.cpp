#include "tools/tavractl/client_callback.h"

#include <span>

#include "tools/tavractl/tavractl_text.h"

namespace tavra::tavractl {
namespace {

// A value as `watch` shows it: result codes and states by name.
std::string ValueText(std::string_view name, std::int32_t value) {
  if (name == "P_ConfirmResult" || name == "P_Reason") {
    return CodeName(value);
  }
  return name == "P_Type" ? StatusName(value) : std::to_string(value);
}

}  // namespace

std::optional<ControllerIdentity> ClientCallback::WaitForLink(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  m_cv.wait_for(lock, timeout, [&] { return m_link.has_value(); });
  return m_link;
}

std::optional<DataConfirm> ClientCallback::WaitForConfirm(std::int32_t requestId,
                                                          std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  if (!m_cv.wait_for(lock, timeout, [&] { return m_confirms.contains(requestId); })) {
    return std::nullopt;
  }
  return m_confirms[requestId];
}

std::string ClientCallback::Line(const CallbackEvent& event) {
  const CallbackMethod& method = event.Method();
  std::string line(method.name);
  for (std::size_t k = 0; k < method.valueCount; ++k) {
    line += " " + std::string(method.valueNames[k]) + "=" +
            ValueText(method.valueNames[k], event.values[k]);
  }
  if (method.HasData()) {
    line += " P_Data=" + HexBytes(event.Data());
  }
  return line;
}

std::string ClientCallback::Remember(const CallbackEvent& event) {
  const bool confirm = event.kind == CallbackKind::Data_Confirm;
  if (!confirm && event.kind != CallbackKind::Management_Indication) {
    return {};
  }
  const std::span<const std::uint8_t> data = event.Data();
  const std::int32_t type = event.values[0];
  std::string more;
  {
    std::lock_guard lock(m_mutex);
    if (confirm) {
      m_confirms[event.values[0]] = DataConfirm{event.values[1], {data.begin(), data.end()}};
    } else if (type == STATUS_ONLINE && data.size() == 6) {
      ControllerIdentity identity;
      std::copy(data.begin(), data.end(), identity.bytes.begin());
      m_link = identity;
      more = " (" + ControllerText(identity) + ")";
    } else if (type == STATUS_NO_CONNECTION) {
      m_link.reset();
    }
  }
  m_cv.notify_all();
  return more;
}

HRESULT ClientCallback::OnEvent(const CallbackEvent& event) {
  const std::string line = Line(event) + Remember(event);
  if (m_printer) {
    m_printer(line);
  }
  return S_OK;
}

}  // namespace tavra::tavractl
