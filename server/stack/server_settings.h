#pragma once
// The process-wide record of TavraLink's thirteen settings. The host reads the stored values
// once at start and puts them here; the stack reads them at the moments its layers state.
// Values are atomics: tests may change them while a stack runs.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavra::stack {

enum class Setting : int {
  ProcessPriority,
  ThreadPriority,
  PreferredBitRate,
  L4_BackoffRetransmissions,
  L4_BackoffTime,
  L4_NoResponseFromClientTimeout,
  L2_BackoffRetransmissions,
  L2_BackoffTime,
  L2_Retransmissions,
  L2_RetransmissionTime,
  L2_NoActivityTime,
  TimeBetweenConnectAttempts,
  Tavra_NoActivityTimeOffset,
};

inline constexpr int kSettingCount = 13;

struct SettingDefinition {
  std::string_view name;
  std::int32_t defaultValue;
};

// Names and defaults in the order of reading, listing and writing.
extern const std::array<SettingDefinition, kSettingCount> kSettingDefinitions;

class SettingsRecord {
 public:
  SettingsRecord();
  [[nodiscard]] std::int32_t Get(Setting s) const;
  void Set(Setting s, std::int32_t value);
  void ResetToDefaults();

  // Takes the stored values: lookup(name) gives the stored integer or nothing when the value
  // is missing or not an integer. Settings 1..3 are taken only when in their accepted set,
  // settings 4..13 whatever they are; anything else keeps the current (default) value.
  void ApplyStored(const std::function<std::optional<std::int64_t>(std::string_view)>& lookup);

  // "Tavra Server settings:\n" then "   %-35s: %d (0x%X)\n" per setting.
  [[nodiscard]] std::string FormatList() const;

 private:
  std::array<std::atomic<std::int32_t>, kSettingCount> m_values;
};

// The one record of the process.
SettingsRecord& ServerSettings();

// Whether a value is in the accepted set of its setting (always true for settings 4..13).
[[nodiscard]] bool IsAcceptedValue(Setting s, std::int64_t value);

}  // namespace tavra::stack
