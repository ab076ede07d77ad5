// How a reply's bytes come off the connection: reads that hand over whatever has arrived, the
// size cap on a reply, the turn's deadline, and the reply's lines as they complete.
#include "modal/parts.hpp"

#include <cmath>
#include <ctime>
#include <functional>
#include <string>

namespace pkmodal {
namespace {

pk::name n_raw{"raw"}, n_chunked{"chunked"}, n_read1{"read1"}, n_iter_content{"iter_content"},
    n_chunk_size{"chunk_size"}, n_decode_content{"decode_content"}, n_close_method{"close"},
    n_content_attr{"_content"}, n_consumed{"_content_consumed"}, n_limits_attr{"_parleykit_limits"},
    n_connection{"connection"}, n_sock{"sock"}, n_settimeout{"settimeout"}, n_exceptions{"exceptions"},
    n_read_timeout_cls{"ReadTimeout"}, n_join{"join"};

// One read asks for this much: small enough that a compressed read cannot balloon past the cap by
// much before it is counted, large enough that a fast stream costs few calls.
constexpr long read_size = 8192;

// The deadline of the turn running on this thread (monotonic seconds), NaN when it has none yet.
thread_local double turn_deadline_now = NAN;

// urllib3's errors as requests' iter_content turns them into its own, for reads made directly.
struct translation {
    const char* urllib3_name;
    const char* requests_name;
};
constexpr translation translations[] = {
    {"ProtocolError", "ChunkedEncodingError"},
    {"DecodeError", "ContentDecodingError"},
    {"ReadTimeoutError", "ConnectionError"},
    {"SSLError", "SSLError"},
};

[[noreturn]] void raise_translated() {
    pk::ref exc = pk::fetch_error();
    pk::ref urllib3 = pk::ref::steal_or_null(PyImport_ImportModule("urllib3.exceptions"));
    pk::ref requests = pk::ref::steal_or_null(PyImport_ImportModule("requests.exceptions"));
    if (!urllib3 || !requests) {
        PyErr_Clear();
        pk::raise_object(std::move(exc));
    }
    for (const translation& t : translations) {
        pk::ref from = pk::ref::steal_or_null(PyObject_GetAttrString(urllib3.get(), t.urllib3_name));
        pk::ref to = pk::ref::steal_or_null(PyObject_GetAttrString(requests.get(), t.requests_name));
        if (!from || !to) {
            PyErr_Clear();
            continue;
        }
        if (pk::isinstance(exc.get(), from.get())) {
            pk::ref replaced = pk::call(to, exc);
            PyException_SetContext(replaced.get(), exc.release());
            pk::raise_object(std::move(replaced));
        }
    }
    pk::raise_object(std::move(exc));
}

double seconds_of(PyObject* number) {
    double v = PyFloat_AsDouble(number);
    if (v == -1.0 && PyErr_Occurred()) throw pk::python_error{};
    return v;
}

}  // namespace

double monotonic_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

turn_deadline::turn_deadline(double deadline) : previous_(turn_deadline_now) { turn_deadline_now = deadline; }
turn_deadline::~turn_deadline() { turn_deadline_now = previous_; }
double turn_deadline::current() { return turn_deadline_now; }
void turn_deadline::start(double deadline) { turn_deadline_now = deadline; }

void attach_limits(PyObject* response, const reply_limits& limits) {
    pk::ref deadline = pk::ref::steal(PyFloat_FromDouble(limits.deadline));
    pk::ref seconds = pk::ref::steal(PyFloat_FromDouble(limits.deadline_seconds));
    pk::ref timeout = pk::ref::steal(PyFloat_FromDouble(limits.read_timeout));
    pk::ref cap = pk::ref::steal(PyLong_FromLongLong(limits.max_bytes));
    pk::ref packed = pk::tuple({deadline.get(), seconds.get(), timeout.get(), cap.get()});
    // A response object that takes no attributes is read with the default limits.
    if (PyObject_SetAttr(response, n_limits_attr, packed.get()) < 0) {
        if (!pk::error_is_exception()) throw pk::python_error{};
        PyErr_Clear();
    }
}

reply_limits limits_of(PyObject* response) {
    reply_limits out;
    pk::ref packed = pk::getattr_opt(response, n_limits_attr);
    if (!packed || !PyTuple_Check(packed.get()) || PyTuple_GET_SIZE(packed.get()) != 4) return out;
    out.deadline = seconds_of(PyTuple_GET_ITEM(packed.get(), 0));
    out.deadline_seconds = seconds_of(PyTuple_GET_ITEM(packed.get(), 1));
    out.read_timeout = seconds_of(PyTuple_GET_ITEM(packed.get(), 2));
    out.max_bytes = PyLong_AsLongLong(PyTuple_GET_ITEM(packed.get(), 3));
    if (out.max_bytes == -1 && PyErr_Occurred()) throw pk::python_error{};
    return out;
}

[[noreturn]] void raise_past_deadline(double configured) {
    pk::ref requests = pk::global(globals(), n_requests);
    pk::ref exceptions = pk::getattr(requests.get(), n_exceptions);
    pk::ref cls = pk::getattr(exceptions.get(), n_read_timeout_cls);
    pk::ref text = pk::ref::steal(PyUnicode_FromFormat("the turn did not finish within its deadline of %S seconds",
                                                       pk::ref::steal(PyFloat_FromDouble(configured)).get()));
    pk::raise_object(pk::call(cls, text));
}

body_reader::body_reader(PyObject* response) : limits_(limits_of(response)) {}

pk::ref body_reader::open(PyObject* response) {
    pk::ref raw = pk::getattr_opt(response, n_raw);
    if (raw && raw.get() != Py_None) {
        pk::ref chunked = pk::getattr_opt(raw.get(), n_chunked);
        pk::ref read1 = pk::getattr_opt(raw.get(), n_read1);
        // A body without chunked framing ends when the connection closes: iter_content would wait
        // for a full read's worth of bytes before handing any over; read1 hands over what came.
        if (read1 && chunked && !pk::truthy(chunked.get())) {
            raw_reads_ = true;
            if (!std::isnan(limits_.deadline)) socket_ = socket_of(raw.get());
            borrowed_socket_ = socket_.get();
            return raw;
        }
        if (!std::isnan(limits_.deadline)) socket_ = socket_of(raw.get());
        borrowed_socket_ = socket_.get();
    }
    pk::ref size = pk::integer(read_size);
    pk::ref reads = pk::call(pk::getattr(response, n_iter_content), pk::kw(n_chunk_size, size));
    return pk::ref::steal(PyObject_GetIter(reads.get()));
}

pk::ref body_reader::socket_of(PyObject* raw) {
    pk::ref connection = pk::getattr_opt(raw, n_connection);
    if (!connection || connection.get() == Py_None) return {};
    pk::ref sock = pk::getattr_opt(connection.get(), n_sock);
    if (!sock || sock.get() == Py_None) return {};
    return sock;
}

pk::ref body_reader::hand_over_socket() {
    pk::ref owned = std::move(socket_);
    socket_ = {};
    borrowed_socket_ = owned.get();
    return owned;
}

void body_reader::before_read() {
    if (std::isnan(limits_.deadline)) return;
    double left = limits_.deadline - monotonic_now();
    if (left <= 0) raise_past_deadline(limits_.deadline_seconds);
    PyObject* sock = socket_ ? socket_.get() : borrowed_socket_;
    if (!sock) return;
    // A stalled read ends at the deadline, not a whole read timeout later.
    double wait = std::isnan(limits_.read_timeout) ? left : std::min(left, limits_.read_timeout);
    pk::ref seconds = pk::ref::steal(PyFloat_FromDouble(wait));
    pk::call_method(sock, n_settimeout, seconds);
}

pk::ref body_reader::next(PyObject* source) {
    before_read();
    pk::ref data;
    if (raw_reads_) {
        pk::ref amount = pk::integer(read_size);
        pk::ref kwnames = pk::tuple({n_decode_content.get()});
        PyObject* args[] = {source, amount.get(), Py_True};
        data = pk::ref::steal_or_null(PyObject_VectorcallMethod(n_read1, args, 2, kwnames.get()));
        if (!data) after_failed_read(true);
        if (PyBytes_Check(data.get()) && PyBytes_GET_SIZE(data.get()) == 0) data = {};
    } else {
        data = pk::ref::steal_or_null(PyIter_Next(source));
        if (!data && PyErr_Occurred()) after_failed_read(false);
    }
    if (!data) return {};
    if (!PyBytes_Check(data.get()))
        pk::raise(PyExc_TypeError, "expected bytes from the response, got %.200s", Py_TYPE(data.get())->tp_name);
    spent_ += PyBytes_GET_SIZE(data.get());
    return data;
}

void body_reader::after_failed_read(bool translate) {
    // A read that timed out because the turn's deadline came is the deadline's failure.
    if (!std::isnan(limits_.deadline) && limits_.deadline - monotonic_now() <= 0 && pk::error_is_exception()) {
        pk::ref cause = pk::fetch_error();
        try {
            raise_past_deadline(limits_.deadline_seconds);
        } catch (pk::python_error&) {
            pk::ref exc = pk::fetch_error();
            PyException_SetContext(exc.get(), cause.release());
            pk::raise_object(std::move(exc));
        }
    }
    if (translate) raise_translated();
    throw pk::python_error{};
}

[[noreturn]] void body_reader::raise_oversize(PyObject* response) {
    // The rest of the body is never read: the connection goes, not back to a pool.
    pk::call_method(response, n_close_method);
    pk::raise(PyExc_ValueError, "the reply is larger than its cap of %lld bytes (option max_reply_bytes)",
              limits_.max_bytes);
}

void read_whole_body(PyObject* response) {
    pk::ref consumed = pk::getattr_opt(response, n_consumed);
    if (!consumed || pk::truthy(consumed.get())) return;
    body_reader reader(response);
    pk::ref source = reader.open(response);
    pk::ref pieces = pk::new_list();
    while (pk::ref data = reader.next(source.get())) {
        if (reader.oversize()) reader.raise_oversize(response);
        pk::check(PyList_Append(pieces.get(), data.get()));
    }
    pk::ref empty = pk::ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    pk::ref content = pk::call_method(empty.get(), n_join, pieces);
    pk::setattr(response, n_content_attr, content.get());
    pk::setattr(response, n_consumed, Py_True);
}

// ---- lines ---------------------------------------------------------------------------------------

pk::ref line_reader::next(body_reader& body, PyObject* source, PyObject* response, const std::function<bool()>& cancelled) {
    while (ready_.empty()) {
        if (done_) return {};
        // Looked at on every read, so a server that drips a line byte by byte is still stopped.
        if (cancelled()) {
            cancelled_ = true;
            return {};
        }
        pk::ref data;
        try {
            data = body.next(source);
        } catch (pk::python_error&) {
            // A read that timed out (or failed otherwise) after another thread set _close is the
            // stop it asked for: so _close takes effect within a read timeout even when no byte comes.
            if (!pk::error_is_exception()) throw;
            pk::ref failure = pk::fetch_error();
            if (!cancelled()) pk::raise_object(std::move(failure));
            cancelled_ = true;
            return {};
        }
        if (!data) {
            done_ = true;
            if (!partial_.empty()) emit(nullptr, 0);
            continue;
        }
        if (body.oversize()) body.raise_oversize(response);
        split(PyBytes_AS_STRING(data.get()), PyBytes_GET_SIZE(data.get()));
    }
    pk::ref line = std::move(ready_.front());
    ready_.pop_front();
    return line;
}

void line_reader::split(const char* data, Py_ssize_t n) {
    Py_ssize_t i = 0;
    if (skip_lf_ && n > 0) {
        // The "\r" that ended the previous read was the first half of "\r\n".
        if (data[0] == '\n') i = 1;
        skip_lf_ = false;
    }
    for (Py_ssize_t j = i; j < n; ++j) {
        char c = data[j];
        if (c != '\n' && c != '\r') continue;
        emit(data + i, j - i);
        if (c == '\r') {
            if (j + 1 < n && data[j + 1] == '\n') ++j;
            else if (j + 1 == n) skip_lf_ = true;
        }
        i = j + 1;
    }
    partial_.append(data + i, static_cast<size_t>(n - i));
}

void line_reader::emit(const char* tail, Py_ssize_t size) {
    if (partial_.empty()) {
        ready_.push_back(pk::ref::steal(PyBytes_FromStringAndSize(tail, size)));
        return;
    }
    partial_.append(tail ? tail : "", static_cast<size_t>(size));
    ready_.push_back(pk::ref::steal(PyBytes_FromStringAndSize(partial_.data(), static_cast<Py_ssize_t>(partial_.size()))));
    partial_.clear();
    if (partial_.capacity() > (1u << 20)) partial_.shrink_to_fit();  // a long line's buffer goes with it
}

}  // namespace pkmodal
