#pragma once

#include <optional>
#include <string>

namespace tandril {

// A running desktop application as the settings application sees it.
class PaneRunningApplication {
public:
    virtual ~PaneRunningApplication() = default;

    virtual std::optional<std::string> bundleIdentifier() const = 0;
    // A polite request to quit; the application may refuse. True when the request went out.
    virtual bool terminate() = 0;
};

}  // namespace tandril
