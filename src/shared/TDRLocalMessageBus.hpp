#pragma once

#include <string>
#include <utility>
#include <vector>

#include "shared/TDRMessageBus.hpp"

namespace tandril {

// A bus that reaches only the observers of this process. The simulator uses it so that
// nothing it says reaches the real settings application.
class TDRLocalMessageBus : public TDRMessageBus {
public:
    void postNotificationName(const std::string& name, const std::optional<Dictionary>& userInfo,
                              bool deliverImmediately) override;
    void addObserver(const std::string& name, Handler handler) override;

private:
    std::vector<std::pair<std::string, Handler>> observers_;
};

}  // namespace tandril
