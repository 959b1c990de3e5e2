#include "shared/result_codes.h"

namespace tavra {

std::string_view ResultCodeName(HRESULT code) {
  switch (code) {
    case S_OK: return "S_OK";
    case E_FAIL: return "E_FAIL";
    case E_NOTIMPL: return "E_NOTIMPL";
    case CommandFailed_PortInUse: return "CommandFailed_PortInUse";
    case CommandFailed_PortNotFound: return "CommandFailed_PortNotFound";
    case CommandFailed_PortOpenError: return "CommandFailed_PortOpenError";
    case CommandFailed_NotInitialised: return "CommandFailed_NotInitialised";
    case CommandFailed_ResourcesLow: return "CommandFailed_ResourcesLow";
    case CommandFailed_DriverBusy: return "CommandFailed_DriverBusy";
    case CommandFailed_NoConnection: return "CommandFailed_NoConnection";
    case CommandFailed_UnknownConnection: return "CommandFailed_UnknownConnection";
    case CommandFailed_ConnectionBusy: return "CommandFailed_ConnectionBusy";
    case CommandFailed_NoPendingIndication: return "CommandFailed_NoPendingIndication";
    case CommandFailed_Rejected: return "CommandFailed_Rejected";
    case CommandFailed_ControllerBusy: return "CommandFailed_ControllerBusy";
    case CommandFailed_ConnectRefused: return "CommandFailed_ConnectRefused";
    case CommandFailed_DataTooLong: return "CommandFailed_DataTooLong";
    case CommandFailed_ClientNotRegistered: return "CommandFailed_ClientNotRegistered";
    case CommandFailed_InvalidParameter: return "CommandFailed_InvalidParameter";
    case CommandFailed_ConnectionLost: return "CommandFailed_ConnectionLost";
    case CommandFailed_InvalidRxId: return "CommandFailed_InvalidRxId";
    case CommandFailed_UnknownCommand: return "CommandFailed_UnknownCommand";
    case CommandFailed_UnknownError: return "CommandFailed_UnknownError";
    case STATUS_ONLINE: return "STATUS_ONLINE";
    case STATUS_NO_CONNECTION: return "STATUS_NO_CONNECTION";
    default: return {};
  }
}

}  // namespace tavra
