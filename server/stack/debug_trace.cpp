#include "server/stack/debug_trace.h"

#include <memory>
#include <mutex>
#include <utility>

namespace tavra::stack {

namespace {

std::mutex g_sinkMutex;
std::shared_ptr<const DebugTraceSink> g_sink;

}  // namespace

void DebugTrace(std::string_view text) {
  std::shared_ptr<const DebugTraceSink> sink;
  {
    std::lock_guard lock(g_sinkMutex);
    sink = g_sink;
  }
  if (sink && *sink) {
    (*sink)(text);
  }
}

DebugTraceSink SetDebugTraceSink(DebugTraceSink sink) {
  auto next = sink ? std::make_shared<const DebugTraceSink>(std::move(sink)) : nullptr;
  std::shared_ptr<const DebugTraceSink> previous;
  {
    std::lock_guard lock(g_sinkMutex);
    previous = std::exchange(g_sink, std::move(next));
  }
  return previous ? *previous : DebugTraceSink{};
}

}  // namespace tavra::stack
