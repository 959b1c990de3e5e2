#pragma once
// The one place where internal result codes of the link stack (0x28000001..0x28000404) become the
// result codes that clients see (shared/result_codes.h). Every ITavra method of the controller
// object returns its result through TranslateInternalCode; no internal code leaves the server.
// Pure functions, any thread.

#include "server/stack/internal_codes.h"
#include "shared/result_codes.h"

namespace tavra::service {

// Internal codes of the controller object itself.
inline constexpr stack::Result kTavraNotStarted = 0x28000401;  // the link stack did not start
// The client is not in the table, or the table is full.
inline constexpr stack::Result kTavraClientNotInTable = 0x28000402;
inline constexpr stack::Result kTavraInvalidParameter = 0x28000403;
// A delivery queue, signal or thread could not be created.
inline constexpr stack::Result kTavraNoResources = 0x28000404;

// 0 stays 0; each internal code of the table its client code; any other value (E_NOTIMPL among
// them) CommandFailed_UnknownError.
[[nodiscard]] HRESULT TranslateInternalCode(stack::Result code);

}  // namespace tavra::service
