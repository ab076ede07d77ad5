// Which thread is at work in a client: one conversation runs on one thread at a time, and a second
// thread that starts a turn or reads a stream while another is inside a request, a read or a tool
// round gets a clear error instead of interleaving its writes into the same history.
#include "modal/parts.hpp"

#include <pthread.h>
#include <unordered_map>

namespace pkmodal {
namespace {

struct work {
    unsigned long thread;
    int depth;  // nested scopes of that thread (a turn's follow-ups, a tool calling back)
};

// Clients at work right now, by address. Only scopes that do not span a suspension point enter
// it, so an entry never outlives its client, and a suspended or abandoned stream holds none.
// The GIL serialises every access.
std::unordered_map<PyObject*, work>*& table_slot() {
    static std::unordered_map<PyObject*, work>* table = nullptr;
    return table;
}

// In the child of a fork only the forking thread lives on: every turn that the other threads were
// inside is gone with them, and the forking thread's own scopes find their entries missing and
// leave quietly. The table starts empty, so a client that was inside a turn when the process
// forked (a worker pool forking after a request) is usable in the child. Runs between fork() and
// the interpreter's own after-fork work, so it touches no Python object.
void forget_turns_in_child() {
    if (auto* table = table_slot()) table->clear();
}

std::unordered_map<PyObject*, work>& at_work() {
    auto*& table = table_slot();
    if (!table) {
        table = new std::unordered_map<PyObject*, work>();
        pthread_atfork(nullptr, nullptr, forget_turns_in_child);
    }
    return *table;
}

}  // namespace

turn_scope::turn_scope(PyObject* self) : self_(self) {
    unsigned long me = PyThread_get_thread_ident();
    auto [entry, fresh] = at_work().try_emplace(self, work{me, 0});
    if (!fresh && entry->second.thread != me)
        pk::raise(PyExc_RuntimeError, "this LLModal is already running a turn in another thread");
    ++entry->second.depth;
}

bool at_work_here(PyObject* self) {
    auto entry = at_work().find(self);
    return entry != at_work().end() && entry->second.thread == PyThread_get_thread_ident();
}

turn_scope::~turn_scope() {
    auto entry = at_work().find(self_);
    if (entry != at_work().end() && --entry->second.depth == 0) at_work().erase(entry);
}

}  // namespace pkmodal
