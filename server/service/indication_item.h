#pragma once
// The indication item: one confirm, indication or link state change on its way to one client's
// callback object. Items travel on the heap (std::unique_ptr); whoever takes one out of
// circulation frees it. Plain data, no locks; the producer fills it on its own thread and hands
// it over whole.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tavra::service {

// The ITavraCallback method each kind becomes; a, b and c per kind (see indication_dispatch.h).
inline constexpr std::int32_t kKindDataIndication = 1;
inline constexpr std::int32_t kKindDataConfirm = 2;
inline constexpr std::int32_t kKindManagementIndication = 3;
inline constexpr std::int32_t kKindConnectConfirm = 4;
inline constexpr std::int32_t kKindConnectIndication = 5;
inline constexpr std::int32_t kKindDisconnectConfirm = 6;
inline constexpr std::int32_t kKindDisconnectIndication = 7;
inline constexpr std::int32_t kKindDisconnectedIndication = 8;
inline constexpr std::int32_t kKindConnectionDataIndication = 9;
inline constexpr std::int32_t kKindConnectionDataConfirm = 10;

struct IndicationItem {
  std::int32_t clientId = 0;  // the client it is for
  std::int32_t kind = 0;      // 1..10; any other value is freed without a call
  std::int32_t a = 0;
  std::int32_t b = 0;
  std::int32_t c = 0;              // kind 1 uses its low 8 bits
  std::vector<std::uint8_t> data;  // an owned copy; empty when there is none

  IndicationItem() = default;
  IndicationItem(std::int32_t clientIdIn,
                 std::int32_t kindIn,
                 std::int32_t aIn,
                 std::int32_t bIn,
                 std::int32_t cIn,
                 std::span<const std::uint8_t> dataIn = {})
      : clientId(clientIdIn),
        kind(kindIn),
        a(aIn),
        b(bIn),
        c(cIn),
        data(dataIn.begin(), dataIn.end()) {}
};

// A heap item with a copy of `data`.
inline std::unique_ptr<IndicationItem> MakeIndicationItem(std::int32_t clientId,
                                                          std::int32_t kind,
                                                          std::int32_t a,
                                                          std::int32_t b,
                                                          std::int32_t c,
                                                          std::span<const std::uint8_t> data = {}) {
  return std::make_unique<IndicationItem>(clientId, kind, a, b, c, data);
}

}  // namespace tavra::service
