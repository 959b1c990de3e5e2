#include "server/stack/server_settings.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>

namespace tavra::stack {

const std::array<SettingDefinition, kSettingCount> kSettingDefinitions = {{
    {"ProcessPriority", 32},
    {"ThreadPriority", 0},
    {"PreferredBitRate", 57600},
    {"L4_BackoffRetransmissions", 5},
    {"L4_BackoffTime", 500},
    {"L4_NoResponseFromClientTimeout", 5000},
    {"L2_BackoffRetransmissions", 5},
    {"L2_BackoffTime", 500},
    {"L2_Retransmissions", 3},
    {"L2_RetransmissionTime", 1000},
    {"L2_NoActivityTime", 5000},
    {"TimeBetweenConnectAttempts", 1000},
    {"Tavra_NoActivityTimeOffset", 2000},
}};

namespace {
bool OneOf(std::int64_t value, std::initializer_list<std::int64_t> set) {
  return std::find(set.begin(), set.end(), value) != set.end();
}
}  // namespace

bool IsAcceptedValue(Setting s, std::int64_t value) {
  switch (s) {
    case Setting::ProcessPriority: return OneOf(value, {32, 64, 128, 256});
    case Setting::ThreadPriority: return OneOf(value, {-15, -2, -1, 0, 1, 2, 15});
    case Setting::PreferredBitRate: return OneOf(value, {9600, 19200, 38400, 57600, 115200});
    default: return value >= INT32_MIN && value <= INT32_MAX;
  }
}

SettingsRecord::SettingsRecord() {
  ResetToDefaults();
}

std::int32_t SettingsRecord::Get(Setting s) const {
  return m_values[static_cast<std::size_t>(s)].load(std::memory_order_relaxed);
}

void SettingsRecord::Set(Setting s, std::int32_t value) {
  m_values[static_cast<std::size_t>(s)].store(value, std::memory_order_relaxed);
}

void SettingsRecord::ResetToDefaults() {
  for (std::size_t i = 0; i < kSettingDefinitions.size(); ++i) {
    m_values[i].store(kSettingDefinitions[i].defaultValue, std::memory_order_relaxed);
  }
}

void SettingsRecord::ApplyStored(
    const std::function<std::optional<std::int64_t>(std::string_view)>& lookup) {
  for (std::size_t i = 0; i < kSettingDefinitions.size(); ++i) {
    const auto setting = static_cast<Setting>(i);
    const std::optional<std::int64_t> stored = lookup(kSettingDefinitions[i].name);
    // A value that does not fit in 32 bits counts as missing, like an oversized registry value.
    if (stored && IsAcceptedValue(setting, *stored)) {
      Set(setting, static_cast<std::int32_t>(*stored));
    }
  }
}

std::string SettingsRecord::FormatList() const {
  std::string out = "Tavra Server settings:\n";
  for (std::size_t i = 0; i < kSettingDefinitions.size(); ++i) {
    const std::int32_t v = Get(static_cast<Setting>(i));
    char line[128];
    std::snprintf(line, sizeof line, "   %-35s: %d (0x%X)\n",
                  std::string(kSettingDefinitions[i].name).c_str(), v, static_cast<unsigned>(v));
    out += line;
  }
  return out;
}

SettingsRecord& ServerSettings() {
  static SettingsRecord record;
  return record;
}

}  // namespace tavra::stack
