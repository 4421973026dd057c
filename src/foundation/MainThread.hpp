#pragma once

// TANDRIL_ASSERT_MAIN_THREAD(): in debug builds, stops the program with a message naming
// the caller when it runs on a thread other than the main run loop's. The objects that
// use it keep state that only the main thread touches, and take no locks for it.
// Release builds compile it away.

namespace tandril {

// True on the thread of RunLoop::main().
bool isMainThread();
// Logs "Main-thread-only call from another thread: <function> (<file>:<line>)" and aborts.
[[noreturn]] void mainThreadAssertionFailed(const char* function, const char* file, int line);

}  // namespace tandril

#ifdef NDEBUG
#define TANDRIL_ASSERT_MAIN_THREAD() ((void)0)
#else
#define TANDRIL_ASSERT_MAIN_THREAD()                                                     \
    ((::tandril::isMainThread()) ? (void)0                                               \
                                 : ::tandril::mainThreadAssertionFailed(__func__, __FILE__, __LINE__))
#endif
