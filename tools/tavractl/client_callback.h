#pragma once
// ClientCallback: tavractl's callback object. It remembers the link state the server reports
// (Management_Indication) and the Data_Confirm of each request id, so that a command can wait
// for them with a time-out, and, for `watch`, hands every callback as one text line to a
// printer.
//
// Threads: the proxy's bus thread calls the ITavraCallback methods; the command's thread waits.
// One mutex guards the state; the printer is called with no lock held.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "shared/callback_adapter.h"
#include "shared/controller_identity.h"

namespace tavra::tavractl {

struct DataConfirm {
  HRESULT result = S_OK;
  std::vector<std::uint8_t> data;
};

class ClientCallback final : public CallbackAdapter {
 public:
  using Printer = std::function<void(const std::string& line)>;
  explicit ClientCallback(Printer printer = nullptr) : m_printer(std::move(printer)) {}

  // Waits until the server has reported the link up; its identity, or nothing on time-out.
  std::optional<ControllerIdentity> WaitForLink(std::chrono::milliseconds timeout);
  // Waits for the Data_Confirm of `requestId`.
  std::optional<DataConfirm> WaitForConfirm(std::int32_t requestId,
                                            std::chrono::milliseconds timeout);

 protected:
  // Records what a command waits for and prints the event as one line; S_OK.
  HRESULT OnEvent(const CallbackEvent& event) override;

 private:
  // The event as `watch` prints it: the method, each value by name, then the data.
  static std::string Line(const CallbackEvent& event);
  // Remembers the link state or the confirm the event reports; the text that the line adds.
  std::string Remember(const CallbackEvent& event);

  Printer m_printer;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::optional<ControllerIdentity> m_link;  // set while the server reports the link up
  std::map<std::int32_t, DataConfirm> m_confirms;
};

}  // namespace tavra::tavractl
