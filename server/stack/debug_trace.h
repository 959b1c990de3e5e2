#pragma once
// TavraLink's debug trace hook: one text at a time, written nowhere unless a sink is set.
// The transport layer gives it its unanswered-request text; the pool and the controller
// object give it their start and stop texts.
//
// Any thread. The sink is called on the tracing thread, without any lock of this hook held,
// often while the caller holds one of its own locks: a sink must only record and return.

#include <functional>
#include <string_view>

namespace tavra::stack {

using DebugTraceSink = std::function<void(std::string_view)>;

// Passes the text to the sink, if one is set.
void DebugTrace(std::string_view text);

// Sets the sink (an empty function: none). Returns the one it replaces.
DebugTraceSink SetDebugTraceSink(DebugTraceSink sink);

}  // namespace tavra::stack
