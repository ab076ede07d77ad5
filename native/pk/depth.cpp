// The C stack bounds of the running thread, and the check against them.
#include "pk/depth.hpp"

#include <algorithm>
#include <cstdint>
#if defined(__linux__)
#include <pthread.h>
#endif

namespace pk {
namespace {

struct stack_bounds {
    std::uintptr_t low = 0;  // 0: unknown on this platform, nothing is checked
    std::uintptr_t margin = 0;
};

stack_bounds current_bounds() {
    stack_bounds b;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return b;
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size) {
        b.low = reinterpret_cast<std::uintptr_t>(addr);
        // Room for what one round still runs once the check has passed: posting a request,
        // decoding a reply, validating models, a tool's own code.
        b.margin = std::max<std::uintptr_t>(64 * 1024, size / 8);
    }
    pthread_attr_destroy(&attr);
#endif
    return b;
}

}  // namespace

void check_stack(const char* where) {
    thread_local const stack_bounds bounds = current_bounds();
    if (!bounds.low) return;
    // The frame address is on the real stack even where a sanitizer moves locals elsewhere.
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here < bounds.low + bounds.margin) raise(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
}

void check_room(const char* where, int levels) {
    check_stack(where);
    int entered = 0;
    for (; entered < levels; ++entered)
        if (Py_EnterRecursiveCall(where)) break;
    for (int i = 0; i < entered; ++i) Py_LeaveRecursiveCall();
    if (entered < levels) throw python_error{};
}

}  // namespace pk
