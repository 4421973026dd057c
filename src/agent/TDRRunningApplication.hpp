#pragma once

#include <optional>
#include <string>

namespace tandril {

// One running desktop application.
class TDRRunningApplication {
public:
    virtual ~TDRRunningApplication() = default;

    virtual std::optional<std::string> bundleIdentifier() const = 0;
    // A polite quit request; the application may refuse. True when the request was sent.
    virtual bool terminate() = 0;
};

}  // namespace tandril
