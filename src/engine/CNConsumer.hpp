#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/Object.hpp"

namespace tandril {

// A remote consumer as the serving side would record it: a name and the remote central's
// handle (an opaque platform object). Nothing in the agent creates one.
class CNConsumer : public Object {
public:
    CNConsumer() = default;

    const std::optional<std::string>& name() const { return name_; }
    void setName(std::optional<std::string> name) { name_ = std::move(name); }
    const std::shared_ptr<Object>& central() const { return central_; }
    void setCentral(std::shared_ptr<Object> central) { central_ = std::move(central); }

    std::string className() const override { return "CNConsumer"; }

private:
    std::optional<std::string> name_;
    std::shared_ptr<Object> central_;
};

}  // namespace tandril
