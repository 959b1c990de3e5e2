#include "server/service/code_translation.h"

#include "server/stack/l4_codes.h"

namespace tavra::service {

HRESULT TranslateInternalCode(stack::Result code) {
  using namespace tavra::stack;
  switch (code) {
    case kOk: return S_OK;

    case kPortOpenError: return CommandFailed_PortOpenError;
    case kPortInUse: return CommandFailed_PortInUse;
    case kPortNotFound: return CommandFailed_PortNotFound;

    case kNotInitialised:
    case kL4StartFailed:
    case kTavraNotStarted: return CommandFailed_NotInitialised;

    case kWriteTimeout:
    case kNoAcknowledgement:
    case kWriteFailed:
    case kNoJob:
    case kL4NoMemory:
    case kTavraNoResources: return CommandFailed_ResourcesLow;

    case kModeRequestPending:
    case kL4NoTransaction:
    case kL4NoConnection: return CommandFailed_DriverBusy;

    case kWrongAcknowledgement:
    case kLinkDown: return CommandFailed_NoConnection;

    case kL4UnknownConnection: return CommandFailed_UnknownConnection;
    case kL4RequestPending: return CommandFailed_ConnectionBusy;
    case kL4NothingToAnswer: return CommandFailed_NoPendingIndication;

    case kDataTooLong:
    case kL4DataTooLong: return CommandFailed_DataTooLong;

    case kUnknownKey:
    case kL4UnknownClient:
    case kTavraClientNotInTable: return CommandFailed_ClientNotRegistered;

    case kBackoffOutOfRange:
    case kL4BackoffOutOfRange:
    case kTavraInvalidParameter: return CommandFailed_InvalidParameter;

    case kDestinationOutOfRange:
    case kL4InvalidRxId: return CommandFailed_InvalidRxId;

    case kUnknownManagementCommand: return CommandFailed_UnknownCommand;

    default: return CommandFailed_UnknownError;
  }
}

}  // namespace tavra::service
