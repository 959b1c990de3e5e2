#include "server/host/reference_table.h"

#include <algorithm>
#include <tuple>

namespace tavra::host {

std::uint32_t ReferenceTable::Add(const ObjectKey& object, const ConnectionKey& connection) {
  ++m_counts[object][connection];
  return ++m_totals[object];
}

std::uint32_t ReferenceTable::Release(const ObjectKey& object, const ConnectionKey& connection) {
  const auto obj = m_counts.find(object);
  if (obj == m_counts.end()) {
    return 0;
  }
  const auto held = obj->second.find(connection);
  if (held == obj->second.end()) {
    return Total(object);
  }
  if (--held->second == 0) {
    obj->second.erase(held);
  }
  const std::uint32_t total = --m_totals[object];
  if (total == 0) {
    m_totals.erase(object);
    m_counts.erase(obj);
  }
  return total;
}

std::uint32_t ReferenceTable::Total(const ObjectKey& object) const {
  const auto it = m_totals.find(object);
  return it == m_totals.end() ? 0 : it->second;
}

std::uint32_t ReferenceTable::Held(const ObjectKey& object, const ConnectionKey& connection) const {
  const auto obj = m_counts.find(object);
  if (obj == m_counts.end()) {
    return 0;
  }
  const auto held = obj->second.find(connection);
  return held == obj->second.end() ? 0 : held->second;
}

ReferenceTable::Holdings ReferenceTable::HeldBy(const ConnectionKey& connection,
                                                const std::string& prefix) const {
  Holdings h;
  for (const auto& [object, counts] : m_counts) {
    const auto held = counts.find(connection);
    if (held == counts.end()) {
      continue;
    }
    h.references += held->second;
    if (object.starts_with(prefix)) {
      ++h.objects;
    }
  }
  return h;
}

bool ReferenceTable::Knows(const ConnectionKey& connection) const {
  if (m_registrations.contains(connection)) {
    return true;
  }
  return std::any_of(m_counts.begin(), m_counts.end(),
                     [&](const auto& obj) { return obj.second.contains(connection); });
}

void ReferenceTable::Register(const ConnectionKey& connection, const Registration& registration) {
  Unregister(registration);
  m_registrations[connection].push_back(registration);
}

void ReferenceTable::Unregister(const Registration& registration) {
  for (auto it = m_registrations.begin(); it != m_registrations.end();) {
    auto& list = it->second;
    list.erase(std::remove(list.begin(), list.end(), registration), list.end());
    it = list.empty() ? m_registrations.erase(it) : std::next(it);
  }
}

std::optional<ReferenceTable::ConnectionKey> ReferenceTable::OwnerOf(
    const Registration& registration) const {
  for (const auto& [connection, list] : m_registrations) {
    if (std::find(list.begin(), list.end(), registration) != list.end()) {
      return connection;
    }
  }
  return std::nullopt;
}

void ReferenceTable::UnregisterObject(const ObjectKey& object) {
  for (auto it = m_registrations.begin(); it != m_registrations.end();) {
    auto& list = it->second;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const Registration& r) { return r.object == object; }),
               list.end());
    it = list.empty() ? m_registrations.erase(it) : std::next(it);
  }
}

std::vector<ReferenceTable::Registration> ReferenceTable::RegistrationsOf(
    const ConnectionKey& connection) const {
  const auto it = m_registrations.find(connection);
  return it == m_registrations.end() ? std::vector<Registration>{} : it->second;
}

ReferenceTable::Dropped ReferenceTable::DropConnection(const ConnectionKey& connection) {
  Dropped dropped;
  if (const auto it = m_registrations.find(connection); it != m_registrations.end()) {
    dropped.clients = std::move(it->second);
    m_registrations.erase(it);
  }
  for (auto obj = m_counts.begin(); obj != m_counts.end();) {
    const auto held = obj->second.find(connection);
    if (held == obj->second.end()) {
      ++obj;
      continue;
    }
    std::uint32_t& total = m_totals[obj->first];
    total -= std::min(total, held->second);
    obj->second.erase(held);
    if (total == 0) {
      dropped.released.push_back(obj->first);
      m_totals.erase(obj->first);
      obj = m_counts.erase(obj);
    } else {
      ++obj;
    }
  }
  return dropped;
}

void ReferenceTable::Clear() {
  m_counts.clear();
  m_totals.clear();
  m_registrations.clear();
}

}  // namespace tavra::host
