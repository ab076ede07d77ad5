// Guards for code that nests a native call (or a native generator's delegation) per round of work,
// so that no depth of nesting can overflow the C stack.
#pragma once
#include "pk/error.hpp"

namespace pk {

// Raises RecursionError ("maximum recursion depth exceeded" + `where`) when the running thread has
// too little C stack left for another round. CPython 3.12's recursion counter assumes a stack as
// large as the main thread's; threads started with a small stack overflow long before it trips,
// so the stack itself is measured (as CPython 3.14 does).
void check_stack(const char* where);

// check_stack, plus room for `levels` more levels of counted recursion: for code that nests one
// more round of work that itself recurses (a follow-up request under a suspended reader), so that
// the limit trips here, where the round is refused whole, rather than somewhere inside the round.
void check_room(const char* where, int levels = 64);

// One level of native recursion, counted as CPython's own C functions count theirs
// (Py_EnterRecursiveCall), with the stack measured too. Not for use across a suspension point:
// the count belongs to the thread.
class recursion_guard {
public:
    explicit recursion_guard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw python_error{};
        try {
            check_stack(where);
        } catch (...) {
            Py_LeaveRecursiveCall();
            throw;
        }
    }
    ~recursion_guard() { Py_LeaveRecursiveCall(); }
    recursion_guard(const recursion_guard&) = delete;
    recursion_guard& operator=(const recursion_guard&) = delete;
};

}  // namespace pk
