#include "ble/platform/PlatformDescription.hpp"

namespace tandril {

std::string platformObjectDescription(const Object& object, const std::string& fields) {
    std::string text = object.defaultDescription();
    if (!text.empty() && text.back() == '>') text.pop_back();
    return text + ", " + fields + ">";
}

}  // namespace tandril
