#include "shared/dbus/callback_arguments.h"

#include "shared/dbus/bus_names.h"
#include "shared/dbus/contract_methods.h"

namespace tavra::dbus {
namespace {

// P_Data of a callback without bytes: a valid pointer all the same.
const std::uint8_t kNoData = 0;

const ContractMethod* ContractOf(const QString& member) {
  return FindContractMethod(CallbackInterface(), member);
}

}  // namespace

QString CallbackMember(const CallbackEvent& event) {
  const std::string_view name = event.Name();
  return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

QList<QVariant> CallbackArguments(const CallbackEvent& event) {
  const ContractMethod* method = ContractOf(CallbackMember(event));
  QList<QVariant> arguments;
  if (method == nullptr) {
    return arguments;
  }
  std::size_t value = 0;
  const auto next = [&] { return value < event.values.size() ? event.values[value++] : 0; };
  for (qsizetype k = 0; k < method->in.size(); ++k) {
    const QChar type = method->in[k];
    if (type == QLatin1Char('a')) {  // "ay"
      const std::span<const std::uint8_t> data = event.Data();
      arguments.append(data.empty() ? QByteArray()
                                    : QByteArray(reinterpret_cast<const char*>(data.data()),
                                                 static_cast<qsizetype>(data.size())));
      ++k;
    } else if (type == QLatin1Char('y')) {
      arguments.append(QVariant::fromValue(static_cast<uchar>(next())));
    } else {
      arguments.append(next());
    }
  }
  return arguments;
}

bool IsCallbackMember(const QString& member) {
  return CallbackKindNamed(member.toStdString()).has_value() && ContractOf(member) != nullptr;
}

std::optional<CallbackEvent> ParseCallback(const QString& member,
                                           const QString& signature,
                                           const QList<QVariant>& arguments,
                                           QByteArray& data) {
  const std::optional<CallbackKind> kind = CallbackKindNamed(member.toStdString());
  const ContractMethod* method = ContractOf(member);
  // The signature fixes the count and the types of the arguments read below.
  if (!kind || method == nullptr || signature != method->in) {
    return std::nullopt;
  }
  CallbackEvent event{*kind};
  event.data = &kNoData;
  std::size_t value = 0;
  qsizetype n = 0;
  for (qsizetype k = 0; k < signature.size(); ++k, ++n) {
    if (n >= arguments.size()) {
      return std::nullopt;
    }
    const QChar type = signature[k];
    if (type == QLatin1Char('a')) {  // "ay"
      data = arguments[n].toByteArray();
      event.dataLength = static_cast<std::int32_t>(data.size());
      if (!data.isEmpty()) {
        event.data = reinterpret_cast<const std::uint8_t*>(data.constData());
      }
      ++k;
    } else if (value < event.values.size()) {
      event.values[value++] = type == QLatin1Char('y')
                                  ? static_cast<std::int32_t>(arguments[n].toUInt())
                                  : static_cast<std::int32_t>(arguments[n].toInt());
    }
  }
  if (n != arguments.size()) {
    return std::nullopt;
  }
  return event;
}

}  // namespace tavra::dbus
