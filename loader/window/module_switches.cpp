#include "loader/window/module_switches.h"

#include <algorithm>
#include <cctype>

namespace tavra::loader {
namespace {

// The switch's name in upper case, or empty when `arg` is not a switch.
std::string SwitchName(const std::string& arg) {
  if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) {
    return {};
  }
  std::string name = arg.substr(1);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return name;
}

}  // namespace

ModuleSwitches ParseModuleSwitches(const std::vector<std::string>& args) {
  ModuleSwitches switches;
  for (const std::string& arg : args) {
    const std::string name = SwitchName(arg);
    if (name == "REGSERVER") {
      switches.action = ModuleAction::Register;
    } else if (name == "UNREGSERVER") {
      switches.action = ModuleAction::Unregister;
    } else if (name == "AUTOMATION" || name == "EMBEDDING") {
      switches.registerOnStart = false;
    }
  }
  return switches;
}

}  // namespace tavra::loader
