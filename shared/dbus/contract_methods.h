#pragma once
// The methods of the contract's description file (shared/dbus/dk.norvik.TavraLink.xml) with the
// D-Bus signatures of their arguments, taken from the <arg> elements: the one source of the
// signatures the server's adaptor checks and the clients' proxies send and expect.
//
// The file is parsed once, on first use (a thread-safe static), and never changes afterwards:
// every function may be called from any thread; the references returned live to the end.

#include <QtCore/QList>
#include <QtCore/QString>

namespace tavra::dbus {

struct ContractMethod {
  QString name;
  QString in;   // the signature of its in-arguments in order, e.g. "iiayyi"
  QString out;  // the signature of its out-arguments
};

// The <method> elements of `interfaceName` in the file's order; none for an unknown interface.
[[nodiscard]] const QList<ContractMethod>& ContractMethods(const QString& interfaceName);

// One method of `interfaceName`; null when the interface has no method `member`.
[[nodiscard]] const ContractMethod* FindContractMethod(const QString& interfaceName,
                                                       const QString& member);

}  // namespace tavra::dbus
