#pragma once
// The references that client bus connections hold on the server's objects, counted per object
// and per connection, and the clients each connection registered. This is the bookkeeping of
// the D-Bus service (bus_service.h); it decides, and the service acts:
// - Add / Release change one connection's count on one object and give the object's total;
//   Release by a connection that holds no reference changes nothing.
// - DropConnection forgets everything of a connection that left the bus and tells which clients
//   to remove and which objects lost their last reference.
// - A client registration (object, client id) belongs to one connection; registering the same
//   pair again moves it (a client id may be given out again after a removal).
//
// Plain data, no locks: used on the D-Bus service thread only.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace tavra::host {

class ReferenceTable {
 public:
  using ObjectKey = std::string;      // the object path
  using ConnectionKey = std::string;  // the client's unique bus name

  struct Registration {
    ObjectKey object;
    std::int32_t clientId = 0;
    bool operator<(const Registration& o) const {
      return std::tie(object, clientId) < std::tie(o.object, o.clientId);
    }
    bool operator==(const Registration&) const = default;
  };

  struct Dropped {
    std::vector<Registration> clients;  // to remove, in registration order
    std::vector<ObjectKey> released;    // objects whose total fell to 0
  };

  // One more reference of `connection` on `object`; returns the object's total.
  std::uint32_t Add(const ObjectKey& object, const ConnectionKey& connection);
  // One reference less, if `connection` holds one; returns the object's remaining total.
  std::uint32_t Release(const ObjectKey& object, const ConnectionKey& connection);

  [[nodiscard]] std::uint32_t Total(const ObjectKey& object) const;
  [[nodiscard]] std::uint32_t Held(const ObjectKey& object, const ConnectionKey& connection) const;
  [[nodiscard]] bool Knows(const ConnectionKey& connection) const;
  // What one connection holds: the number of objects whose key starts with `prefix` (all when
  // empty) and its references on all objects together.
  struct Holdings {
    std::uint32_t objects = 0;
    std::uint64_t references = 0;
  };
  [[nodiscard]] Holdings HeldBy(const ConnectionKey& connection,
                                const std::string& prefix = {}) const;

  void Register(const ConnectionKey& connection, const Registration& registration);
  // Forgets the registration, whichever connection made it.
  void Unregister(const Registration& registration);
  // Forgets every registration on `object` (the object has ended).
  void UnregisterObject(const ObjectKey& object);
  [[nodiscard]] std::vector<Registration> RegistrationsOf(const ConnectionKey& connection) const;
  // The connection that registered it; nullopt when none did.
  [[nodiscard]] std::optional<ConnectionKey> OwnerOf(const Registration& registration) const;

  Dropped DropConnection(const ConnectionKey& connection);
  // Everything, for the server's end.
  void Clear();

 private:
  std::map<ObjectKey, std::map<ConnectionKey, std::uint32_t>> m_counts;
  std::map<ObjectKey, std::uint32_t> m_totals;
  // Per connection, in registration order.
  std::map<ConnectionKey, std::vector<Registration>> m_registrations;
};

}  // namespace tavra::host
