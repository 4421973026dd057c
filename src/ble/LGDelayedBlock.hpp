#pragma once

#include <functional>
#include <memory>

#include "foundation/Object.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

// The handle of a delayed callback, shared between the caller and the scheduled job.
// Called with cancel true it marks itself cancelled; called with cancel false it runs the
// callback unless cancelled.
class LGDelayedBlock {
public:
    using Block = std::function<void()>;
    using ObjectBlock = std::function<void(const std::shared_ptr<Object>& object)>;

    explicit LGDelayedBlock(Block block);
    explicit LGDelayedBlock(ObjectBlock block);

    void operator()(bool cancel, const std::shared_ptr<Object>& object = nullptr);
    bool isCancelled() const { return cancelled_; }

private:
    Block block_;
    ObjectBlock objectBlock_;
    bool cancelled_ = false;
};

using LGDelayedBlockHandle = std::shared_ptr<LGDelayedBlock>;

// The BLE layer's delays in loop time: `seconds` in whole nanoseconds, truncated toward
// zero. A negative or NaN delay is due at once; one beyond a century (or infinite) is
// held at a century, so that no conversion or due time overflows.
Duration delayDuration(double seconds);

// performBlock:afterDelay: — runs `block` on the main queue after `delay` seconds unless
// cancelled; absent block: schedules nothing and returns absent.
LGDelayedBlockHandle performBlock(LGDelayedBlock::Block block, double delay);
// performBlock:withObject:afterDelay: — as above, passing `object` (kept alive until the
// job runs) to the callback.
LGDelayedBlockHandle performBlock(LGDelayedBlock::ObjectBlock block, std::shared_ptr<Object> object, double delay);
// cancelBlock: — cancels a pending callback; an absent handle does nothing.
void cancelBlock(const LGDelayedBlockHandle& handle);

}  // namespace tandril
