#pragma once
// The component-module switches of the loader's command line. The loader offers no component
// classes of its own (its class table is empty), so registration writes nothing: "REGSERVER" and
// "UNREGSERVER" (after '/' or '-', any letter case) end the program before any window opens; a
// normal start runs the (empty) registration step unless "AUTOMATION" or "EMBEDDING" is given.
//
// Plain function, no state: any thread.

#include <string>
#include <vector>

namespace tavra::loader {

enum class ModuleAction {
  Run,         // open the main window
  Register,    // run the registration step and end
  Unregister,  // run the unregistration step and end
};

struct ModuleSwitches {
  ModuleAction action = ModuleAction::Run;
  bool registerOnStart = true;  // false with AUTOMATION or EMBEDDING
};

// `args` without the program name.
[[nodiscard]] ModuleSwitches ParseModuleSwitches(const std::vector<std::string>& args);

}  // namespace tavra::loader
