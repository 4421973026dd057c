#include "agent/TDRUserNotification.hpp"

#include "foundation/Log.hpp"

namespace tandril {

std::string TDRUserNotification::description() const {
    return formatLine("%@ {title = %@; subtitle = %@; informativeText = %@}",
                      {defaultDescription(), title_, subtitle_, informativeText_});
}

}  // namespace tandril
