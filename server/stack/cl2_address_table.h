#pragma once
// CL2's address table: TavraLink's link addresses and the keys of their owners.
//   entry 0      key 2, address 0x20: link management (set at open, never marked used)
//   entry 1      key 1, address 0x21: CL4
//   entries 2..  keys 10, 11, ... (never reused), address 0x40 + k, k the lowest free bit of
//                the address bitmap
// An unregistered entry keeps its address, so a frame to it is still answered (and handed up
// with the old key, which nobody above knows any more).
//
// Owner: CL2Impl. Threads: callers register and unregister; the receiver thread (OwnerOf), the
// transmitter (IsRegistered), the supervisor (UsedKeys) and callers read.
// Lock: the address lock, a leaf, held by the registering functions only. Readers take no
// lock: each entry is one 64-bit atomic, so a reader always sees a whole entry.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "server/stack/cl2.h"

namespace tavra::stack {

inline constexpr int kAddressEntries = 20;
inline constexpr int kFirstClientEntry = 2;
inline constexpr std::uint8_t kLinkManagementAddress = 0x20;
inline constexpr std::uint8_t kTransportAddress = 0x21;
inline constexpr std::uint8_t kFirstClientAddress = 0x40;

class L2AddressTable {
 public:
  // Entry 0, before any thread runs.
  void SetLinkManagementEntry();
  // Entry 1; the transport's key.
  std::int32_t RegisterTransport();
  // A client entry with a new key; kUnknownKey when no entry or client address is left.
  [[nodiscard]] Result RegisterClient(std::int32_t& key);
  // Only the client entries are looked at; kUnknownKey when none is used by `key`.
  [[nodiscard]] Result UnregisterClient(std::int32_t key);

  [[nodiscard]] std::optional<std::uint8_t> AddressOfKey(std::int32_t key) const;
  [[nodiscard]] bool IsRegistered(std::int32_t key) const { return AddressOfKey(key).has_value(); }
  [[nodiscard]] std::vector<std::int32_t> UsedKeys() const;
  // Owner key of a destination address, used or not; -1 when no entry has that address.
  [[nodiscard]] int OwnerOf(std::uint8_t address) const;

 private:
  // Packed into 64 bits: key in bits 0..31, address in 32..39, used in bit 40.
  struct Entry {
    bool used = false;
    std::int32_t key = 0;
    std::uint8_t address = 0;
  };
  static std::uint64_t Pack(const Entry& e);
  static Entry Unpack(std::uint64_t bits);
  [[nodiscard]] Entry At(int index) const { return Unpack(m_entries[index].load()); }
  void Set(int index, const Entry& e) { m_entries[index].store(Pack(e)); }

  std::mutex m_mutex;
  std::array<std::atomic<std::uint64_t>, kAddressEntries> m_entries{};
  std::uint32_t m_bitmap = 0;                      // m_mutex
  std::int32_t m_nextClientKey = kFirstClientKey;  // m_mutex
};

}  // namespace tavra::stack
