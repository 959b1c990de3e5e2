#pragma once
// CallbackEvent: one call of ITavraCallback (shared/tavra_interfaces.h) as a value, which of the
// ten methods and its parameters, so that code which only records, prints or forwards callbacks
// handles one type instead of ten methods. CallbackAdapter (callback_adapter.h) turns the calls
// into events; DeliverEvent turns an event back into the call.
//
// An event does not own its data: P_Data is the caller's buffer, valid only during the call (as
// in ITavraCallback). The table of the ten methods is constant; every function may be called
// from any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "shared/tavra_interfaces.h"

namespace tavra {

// In slot order, named as the methods.
enum class CallbackKind : std::uint8_t {
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
inline constexpr std::size_t kCallbackKinds = 10;

// What a method takes, in the interface's words. Its values are its integer and byte
// parameters in order, P_DataLength and P_Data left out; those two sit before value `dataAt`.
struct CallbackMethod {
  static constexpr std::size_t kNoData = 99;

  std::string_view name;
  std::array<std::string_view, 3> valueNames;
  std::size_t valueCount = 0;
  std::size_t dataAt = kNoData;  // kNoData: the method takes no data

  [[nodiscard]] bool HasData() const { return dataAt != kNoData; }
};

[[nodiscard]] const CallbackMethod& MethodOf(CallbackKind kind);
// The kind of the method named `name`; none for a name that is not one of the ten.
[[nodiscard]] std::optional<CallbackKind> CallbackKindNamed(std::string_view name);

struct CallbackEvent {
  CallbackKind kind = CallbackKind::Connect_Indication;
  std::array<std::int32_t, 3> values{};  // the first MethodOf(kind).valueCount are set
  std::int32_t dataLength = 0;           // P_DataLength and P_Data as given (0 and null for a
  const std::uint8_t* data = nullptr;    // method without data)

  [[nodiscard]] const CallbackMethod& Method() const { return MethodOf(kind); }
  [[nodiscard]] std::string_view Name() const { return Method().name; }
  [[nodiscard]] std::span<const std::int32_t> Values() const {
    return {values.data(), Method().valueCount};
  }
  // P_Data's bytes; none when P_DataLength is not positive or P_Data is null.
  [[nodiscard]] std::span<const std::uint8_t> Data() const;
};

// Calls the method of `event` on `callback` with its parameters; the method's result.
HRESULT DeliverEvent(ITavraCallback& callback, const CallbackEvent& event);

}  // namespace tavra
