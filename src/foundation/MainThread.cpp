#include "foundation/MainThread.hpp"

#include <cstdlib>
#include <string>

#include "foundation/Log.hpp"
#include "foundation/RunLoop.hpp"

namespace tandril {

bool isMainThread() { return RunLoop::main().isLoopThread(); }

void mainThreadAssertionFailed(const char* function, const char* file, int line) {
    log("Main-thread-only call from another thread: %s (%s:%d)", function, file, line);
    std::abort();
}

}  // namespace tandril
