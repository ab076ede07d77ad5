// One turn at a time in a client: a turn started inside one of the same client's turns is refused,
// a turn started while the client's previous stream is still open ends that stream first, and
// the client remembers what its own turn left open (the user entry its request carried, the
// tool requests its rounds ran), so settling touches only that and never what the caller built.
#include "modal/parts.hpp"

#include <pthread.h>
#include <unordered_map>

namespace pkmodal {
namespace {

// What one client's newest turn left behind. Kept outside the client's fields (which are the
// model's public surface); dropped when the client dies, through the callback of `watcher`.
struct record {
    pk::ref watcher;        // weak reference to the client
    pk::ref stream;         // weak reference to the stream its newest turn handed out, or null
    unsigned long stream_forks = 0;  // forks_seen() when that stream was handed out
    pk::ref user_entry;     // the user entry that turn's requests carry, or null
    pk::ref tool_requests;  // list of the tool-request entries that turn's rounds appended
};

// How many forks this process is the child of, counted in the child between fork() and the
// interpreter's own after-fork work (so touching no Python object). A stream handed out before
// the count moved and running now was running on a thread that the fork left behind.
unsigned long forks = 0;

void count_fork_in_child() { ++forks; }

// By client address. An entry never outlives its client (the weak reference's callback erases
// it while the client is being freed), so an address is never mistaken for a later client's.
// The GIL serialises every access.
std::unordered_map<PyObject*, record>& records() {
    static auto* table = [] {
        pthread_atfork(nullptr, nullptr, count_fork_in_child);
        return new std::unordered_map<PyObject*, record>();
    }();
    return *table;
}

PyObject* forget(PyObject* key, PyObject* watcher) {
    auto found = records().find(static_cast<PyObject*>(PyLong_AsVoidPtr(key)));
    if (found != records().end() && found->second.watcher.get() == watcher) {
        record gone = std::move(found->second);  // released after the erase: decrefs may run code
        records().erase(found);
    }
    Py_RETURN_NONE;
}

PyMethodDef forget_def{"_forget_turns", forget, METH_O, nullptr};

record* find(PyObject* self) {
    auto found = records().find(self);
    return found == records().end() ? nullptr : &found->second;
}

record& ensure(PyObject* self) {
    if (record* r = find(self)) return *r;
    pk::ref key = pk::ref::steal(PyLong_FromVoidPtr(self));
    pk::ref callback = pk::ref::steal(PyCFunction_New(&forget_def, key.get()));
    pk::ref watcher = pk::ref::steal(PyWeakref_NewRef(self, callback.get()));
    record& r = records()[self];
    r.watcher = std::move(watcher);
    r.tool_requests = pk::new_list();
    return r;
}

// The object a weak reference points to, or null when it is gone.
pk::ref target(const pk::ref& weak) {
    if (!weak) return {};
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* object = nullptr;
    if (PyWeakref_GetRef(weak.get(), &object) < 0) throw pk::python_error{};
    return pk::ref::steal_or_null(object);
#else
    PyObject* object = pk::check(PyWeakref_GetObject(weak.get()));
    return object == Py_None ? pk::ref{} : pk::ref::borrow(object);
#endif
}

}  // namespace

void begin_turn(PyObject* self) {
    if (at_work_here(self))
        pk::raise(PyExc_RuntimeError,
                  "this LLModal cannot start a turn from inside one of its own turns (a tool that calls invoke "
                  "on the client that runs it)");
    // Another thread at work in the client is refused as such, before its stream is looked at.
    turn_scope probe(self);
    record* r = find(self);
    if (!r) return;
    pk::ref stream = target(r->stream);
    if (!stream) return;
    if (stream_running(stream.get())) {
        // In the child of a fork, a stream that a vanished thread was reading can never be pulled
        // again; it is left as it is (its reply may be mid-read under locks nobody will release).
        if (r->stream_forks != forks) {
            r->stream = nullptr;
            return;
        }
        pk::raise(PyExc_RuntimeError, "this LLModal cannot start a turn while its stream is being read");
    }
    r = nullptr;  // ending the stream runs code that may change the table
    end_stream(stream.get());
    if (record* now = find(self)) now->stream = nullptr;
}

void note_stream(PyObject* self, PyObject* stream) {
    if (!is_stream(stream)) return;
    pk::ref weak = pk::ref::steal(PyWeakref_NewRef(stream, nullptr));
    record& r = ensure(self);
    r.stream = std::move(weak);
    r.stream_forks = forks;
}

void note_user_entry(PyObject* self, PyObject* entry) {
    record& r = ensure(self);
    r.user_entry = pk::ref::borrow(entry);
}

bool is_own_user_entry(PyObject* self, PyObject* entry) {
    record* r = find(self);
    return r && entry && r->user_entry.get() == entry;
}

void note_tool_request(PyObject* self, PyObject* entry) {
    pk::ref list = ensure(self).tool_requests;  // a reference of its own: appending may run code
    pk::check(PyList_Append(list.get(), entry));
}

bool is_own_tool_request(PyObject* self, PyObject* entry) {
    record* r = find(self);
    if (!r) return false;
    PyObject* list = r->tool_requests.get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (PyList_GET_ITEM(list, i) == entry) return true;
    return false;
}

void forget_tool_requests(PyObject* self) {
    if (record* r = find(self)) {
        pk::ref fresh = pk::new_list();
        std::swap(r->tool_requests, fresh);
    }
}

}  // namespace pkmodal
