#include "shared/controller_identity.h"

namespace tavra {

std::string ControllerIdentity::TypeName() const {
  switch (Type()) {
    case 0:
    case 2: return "TermTavra";
    case 1: return "BootCode";
    case 3: return "Tavra Windows";
    default: return std::to_string(Type());
  }
}

std::string ControllerIdentity::VersionText() const {
  return std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
         std::to_string(bytes[3]) + "." + std::to_string(bytes[4]);
}

}  // namespace tavra
