// CL2's management commands of clients (0x24000011..0x24000016): the mode switches go to the
// supervisor, the rest is answered from the link state, the statistics and the address table.

#include <new>

#include "server/stack/cl2_impl.h"

namespace tavra::stack {

namespace {

constexpr std::int32_t kCmdConnectBootCode = 0x24000011;
constexpr std::int32_t kCmdResetController = 0x24000012;
constexpr std::int32_t kCmdConnectStatus = 0x24000013;
constexpr std::int32_t kCmdStatusIndication = 0x24000014;
constexpr std::int32_t kCmdLinkStatusBlock = 0x24000015;
constexpr std::int32_t kCmdClientAddress = 0x24000016;

constexpr std::int32_t kDataTypeIdentity = 1;
constexpr std::int32_t kDataTypeStatusBlock = 2;
constexpr std::int32_t kDataTypeAddress = 3;

void AppendLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

// Marks out's data as a block of `dataType`.
Result WithData(ManagementOutput& out, std::int32_t dataType) {
  out.dataType = dataType;
  out.dataSize = static_cast<std::int32_t>(out.data.size());
  return kOk;
}

void ClearData(ManagementOutput& out) {
  out.dataType = 0;
  out.dataSize = 0;
  out.data.clear();
}

}  // namespace

Result CL2Impl::ManagementRequest(std::int32_t key, std::int32_t command, ManagementOutput& out) {
  ClearData(out);
  if (!m_open.load()) {
    return m_storedError.load();
  }
  if (!m_addresses.IsRegistered(key)) {
    return kUnknownKey;
  }
  try {
    return ManagementCommand(key, command, out);
  } catch (const std::bad_alloc&) {
    ClearData(out);
    return kNoJob;  // no memory for the output
  }
}

Result CL2Impl::ManagementCommand(std::int32_t key, std::int32_t command, ManagementOutput& out) {
  const bool up = m_shared.linkUp.load();
  switch (command) {
    case kCmdConnectBootCode: return m_supervisor.RequestBootCode(key);
    case kCmdResetController: return m_supervisor.RequestReset();
    case kCmdConnectStatus: {
      if (!up) {
        out.result = kLinkOffline;
        return kOk;
      }
      const ControllerIdentity identity = m_supervisor.Identity();
      out.data.assign(identity.bytes.begin(), identity.bytes.end());
      out.result = kLinkOnline;
      return WithData(out, kDataTypeIdentity);
    }
    case kCmdStatusIndication:
      if (up) {
        m_supervisor.SendOnline(key);
      } else {
        m_supervisor.SendOffline(key);
      }
      return kOk;
    case kCmdLinkStatusBlock:
      out.data.reserve(std::size_t{kStatisticsWords} * 4);
      for (const std::uint32_t word : Statistics()) {
        AppendLittleEndian(out.data, word);
      }
      return WithData(out, kDataTypeStatusBlock);
    case kCmdClientAddress: {
      const auto address = m_addresses.AddressOfKey(key);
      if (!address) {
        return kUnknownKey;
      }
      AppendLittleEndian(out.data, static_cast<std::uint32_t>(*address - kLinkManagementAddress));
      return WithData(out, kDataTypeAddress);
    }
    default: return up ? kUnknownManagementCommand : kLinkDown;
  }
}

}  // namespace tavra::stack
