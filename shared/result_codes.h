#pragma once
// Result codes, management commands, status values and data types that clients of TavraLink
// see. Every code has bit 31 clear except E_FAIL: callers compare with 0.

#include <cstdint>
#include <string_view>

namespace tavra {

using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
// The component system's general failure, returned for a port number outside 0..9.
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
// "Not implemented": the transport layer's answer to a connect response; never reaches a client
// (the controller object turns it into CommandFailed_UnknownError).
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);

inline constexpr HRESULT CommandFailed_PortInUse = 0x21000001;
inline constexpr HRESULT CommandFailed_PortNotFound = 0x21000002;
inline constexpr HRESULT CommandFailed_PortOpenError = 0x21000003;
inline constexpr HRESULT CommandFailed_NotInitialised = 0x21000004;
inline constexpr HRESULT CommandFailed_ResourcesLow = 0x21000005;
inline constexpr HRESULT CommandFailed_DriverBusy = 0x22000001;
inline constexpr HRESULT CommandFailed_NoConnection = 0x22000002;
inline constexpr HRESULT CommandFailed_UnknownConnection = 0x22000003;
inline constexpr HRESULT CommandFailed_ConnectionBusy = 0x22000004;
inline constexpr HRESULT CommandFailed_NoPendingIndication = 0x22000005;
inline constexpr HRESULT CommandFailed_Rejected = 0x22000006;
inline constexpr HRESULT CommandFailed_ControllerBusy = 0x22000007;
inline constexpr HRESULT CommandFailed_ConnectRefused = 0x22000008;
inline constexpr HRESULT CommandFailed_DataTooLong = 0x2200000A;
inline constexpr HRESULT CommandFailed_ClientNotRegistered = 0x2200000B;
inline constexpr HRESULT CommandFailed_InvalidParameter = 0x2200000C;
inline constexpr HRESULT CommandFailed_ConnectionLost = 0x2200000D;
inline constexpr HRESULT CommandFailed_InvalidRxId = 0x2200000E;
inline constexpr HRESULT CommandFailed_UnknownCommand = 0x2200000F;
inline constexpr HRESULT CommandFailed_UnknownError = 0x22000100;

// Management commands (P_Command of Management_Request).
inline constexpr std::int32_t CONNECT_BOOTCODE = 0x24000011;
inline constexpr std::int32_t RESET_CONTROLLER = 0x24000012;
inline constexpr std::int32_t CONNECT_STATUS = 0x24000013;
inline constexpr std::int32_t STATUS_INDICATION = 0x24000014;
inline constexpr std::int32_t LINK_STATUS_BLOCK = 0x24000015;
inline constexpr std::int32_t CLIENT_ADDRESS = 0x24000016;
inline constexpr std::int32_t CLIENT_INDEX = 0x24000017;
inline constexpr std::int32_t kFirstManagementCommand = CONNECT_BOOTCODE;
inline constexpr std::int32_t kLastManagementCommand = CLIENT_INDEX;

// Status values (P_Result of CONNECT_STATUS, P_Type of Management_Indication).
inline constexpr std::int32_t STATUS_ONLINE = 0x24000001;
inline constexpr std::int32_t STATUS_NO_CONNECTION = 0x24000003;
// P_Subtype of Management_Indication for each status.
inline constexpr std::int32_t kSubtypeOnline = 1;
inline constexpr std::int32_t kSubtypeNoConnection = 0;

// P_DataType of management outputs.
inline constexpr std::int32_t kDataTypeIdentity = 1;
inline constexpr std::int32_t kDataTypeLinkStatusBlock = 2;
inline constexpr std::int32_t kDataTypeClientAddress = 3;

// The name of a client-visible code ("CommandFailed_NoConnection"), or an empty view when the
// value is not one of them.
std::string_view ResultCodeName(HRESULT code);

}  // namespace tavra
