// CL2's address table: registration under the address lock, lock-free lookups.

#include "server/stack/cl2_address_table.h"

namespace tavra::stack {

namespace {

constexpr int kUsedBit = 40;
constexpr int kAddressShift = 32;
constexpr int kClientAddresses = 32;  // bits of the address bitmap

}  // namespace

std::uint64_t L2AddressTable::Pack(const Entry& e) {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(e.key)) |
         (static_cast<std::uint64_t>(e.address) << kAddressShift) |
         (static_cast<std::uint64_t>(e.used ? 1 : 0) << kUsedBit);
}

L2AddressTable::Entry L2AddressTable::Unpack(std::uint64_t bits) {
  Entry e;
  e.key = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits & 0xFFFFFFFFU));
  e.address = static_cast<std::uint8_t>((bits >> kAddressShift) & 0xFFU);
  e.used = ((bits >> kUsedBit) & 1U) != 0;
  return e;
}

void L2AddressTable::SetLinkManagementEntry() {
  Set(0, {false, kKeyLinkManagement, kLinkManagementAddress});
}

std::int32_t L2AddressTable::RegisterTransport() {
  std::lock_guard lock(m_mutex);
  Set(1, {true, kKeyTransport, kTransportAddress});
  return kKeyTransport;
}

Result L2AddressTable::RegisterClient(std::int32_t& key) {
  std::lock_guard lock(m_mutex);
  int bit = 0;
  while (bit < kClientAddresses && (m_bitmap & (1U << bit)) != 0) {
    ++bit;
  }
  int entry = kFirstClientEntry;
  while (entry < kAddressEntries && At(entry).used) {
    ++entry;
  }
  if (bit == kClientAddresses || entry == kAddressEntries) {
    return kUnknownKey;
  }
  m_bitmap |= 1U << bit;
  key = m_nextClientKey++;
  Set(entry, {true, key, static_cast<std::uint8_t>(kFirstClientAddress + bit)});
  return kOk;
}

Result L2AddressTable::UnregisterClient(std::int32_t key) {
  std::lock_guard lock(m_mutex);
  // Only client entries: the link management and transport entries are not a client's.
  for (int i = kFirstClientEntry; i < kAddressEntries; ++i) {
    Entry e = At(i);
    if (e.used && e.key == key) {
      const int bit = e.address - kFirstClientAddress;
      if (bit >= 0 && bit < kClientAddresses) {
        m_bitmap &= ~(1U << bit);
      }
      e.used = false;  // the entry keeps its address
      Set(i, e);
      return kOk;
    }
  }
  return kUnknownKey;
}

std::optional<std::uint8_t> L2AddressTable::AddressOfKey(std::int32_t key) const {
  for (int i = 0; i < kAddressEntries; ++i) {
    const Entry e = At(i);
    if (e.used && e.key == key) {
      return e.address;
    }
  }
  return std::nullopt;
}

std::vector<std::int32_t> L2AddressTable::UsedKeys() const {
  std::vector<std::int32_t> keys;
  for (int i = 0; i < kAddressEntries; ++i) {
    const Entry e = At(i);
    if (e.used) {
      keys.push_back(e.key);
    }
  }
  return keys;
}

int L2AddressTable::OwnerOf(std::uint8_t address) const {
  // Every entry, used or not: an unregistered client's address is still answered 0x40.
  for (int i = 0; i < kAddressEntries; ++i) {
    const Entry e = At(i);
    if (e.address == address) {
      return e.key;
    }
  }
  return -1;
}

}  // namespace tavra::stack
