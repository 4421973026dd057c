#include "ble/LGDelayedBlock.hpp"

#include <cmath>
#include <cstdint>

#include "foundation/RunLoop.hpp"

namespace tandril {

Duration delayDuration(double seconds) {
    // A century: far beyond any delay the program asks for, and small enough that the
    // loop's now() plus the delay stays inside the clock's range.
    constexpr double kLongestSeconds = 100.0 * 365 * 24 * 60 * 60;
    if (!(seconds > 0)) return Duration::zero();
    if (seconds > kLongestSeconds) seconds = kLongestSeconds;
    return Duration(static_cast<std::int64_t>(std::trunc(seconds * 1'000'000'000.0)));
}

LGDelayedBlock::LGDelayedBlock(Block block) : block_(std::move(block)) {}

LGDelayedBlock::LGDelayedBlock(ObjectBlock block) : objectBlock_(std::move(block)) {}

void LGDelayedBlock::operator()(bool cancel, const std::shared_ptr<Object>& object) {
    if (cancel) {
        cancelled_ = true;
        return;
    }
    if (cancelled_) return;
    if (block_) block_();
    if (objectBlock_) objectBlock_(object);
}

LGDelayedBlockHandle performBlock(LGDelayedBlock::Block block, double delay) {
    if (!block) return nullptr;
    auto handle = std::make_shared<LGDelayedBlock>(std::move(block));
    RunLoop::main().schedule(delayDuration(delay), [handle] { (*handle)(false); });
    return handle;
}

LGDelayedBlockHandle performBlock(LGDelayedBlock::ObjectBlock block, std::shared_ptr<Object> object, double delay) {
    if (!block) return nullptr;
    auto handle = std::make_shared<LGDelayedBlock>(std::move(block));
    RunLoop::main().schedule(delayDuration(delay),
                             [handle, object = std::move(object)] { (*handle)(false, object); });
    return handle;
}

void cancelBlock(const LGDelayedBlockHandle& handle) {
    if (handle) (*handle)(true);
}

}  // namespace tandril
