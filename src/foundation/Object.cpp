#include "foundation/Object.hpp"

#include <cxxabi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <typeinfo>

namespace tandril {

std::string Object::className() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : mangled;
    std::free(demangled);
    // Drop the namespaces, but not those inside template arguments.
    std::size_t end = name.find('<');
    std::size_t colons = name.rfind("::", end);
    if (colons != std::string::npos) name.erase(0, colons + 2);
    return name;
}

std::string Object::description() const { return defaultDescription(); }

std::string Object::defaultDescription() const {
    // The address of the whole object, whichever base this is.
    auto address = reinterpret_cast<std::uintptr_t>(dynamic_cast<const void*>(this));
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
    return "<" + className() + ": " + text + ">";
}

}  // namespace tandril
