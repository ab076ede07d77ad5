// Refused requests: APIStatusError (a non-200 reply, with its status, masked body and Retry-After),
// and the opt-in retry of a request that failed in a way worth trying again.
#include "modal/parts.hpp"

#include <cmath>

namespace pkmodal {
namespace {

pk::name n_init{"__init__"}, n_status_code{"status_code"}, n_body{"body"}, n_retry_after{"retry_after"},
    n_headers{"headers"}, n_retry_after_ms_header{"retry-after-ms"},
    n_retry_after_header{"retry-after"}, n_parsedate{"parsedate_to_datetime"}, n_timestamp{"timestamp"},
    n_time{"time"}, n_sleep{"sleep"}, n_random{"random"}, n_retries{"retries"}, n_section{"section"},
    n_has_option{"has_option"}, n_content_bytes{"content"}, n_ConnectionError{"ConnectionError"}, n_encode{"encode"}, n_decode{"decode"},
    n_utf8{"utf-8"}, n_surrogateescape{"surrogateescape"}, n_tzinfo{"tzinfo"};

PyObject* status_error_type = nullptr;  // parleykit.modal.APIStatusError

// Backoff without a Retry-After: 0.5 s doubled per attempt, at most 8 s, less up to a quarter
// at random so that clients refused together do not come back together.
constexpr double first_delay = 0.5, longest_delay = 8.0, jitter = 0.25;
// A server that asks for a longer wait than this is not waited for inside the call: the error
// goes to the caller, whose retry_after says how long the server asked for.
constexpr double longest_retry_after = 60.0;

// def __init__(self, message, status_code=None, body=None, retry_after=None)
pk::ref status_error_init(PyObject* const* a) {
    PyObject* self = a[0];
    pk::ref init = pk::getattr(PyExc_ValueError, n_init);
    pk::call(init, self, a[1]);
    pk::setattr(self, n_status_code, a[2]);
    pk::setattr(self, n_body, a[3]);
    pk::setattr(self, n_retry_after, a[4]);
    return pk::none();
}

const pk::fn_def status_error_init_def{
    .name = "__init__", .qualname = "APIStatusError.__init__", .impl = status_error_init,
    .params = {{"self"}, {"message"}, {"status_code"}, {"body"}, {"retry_after"}}, .returns = "None",
    .doc = "Create the error from its message, the reply's status, body and requested wait.",
};

// A number of seconds from a header's text: a non-negative finite number, or null.
pk::ref header_seconds(PyObject* text, double scale) {
    pk::ref number = pk::ref::steal_or_null(PyFloat_FromString(text));
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw pk::python_error{};
        PyErr_Clear();
        return {};
    }
    double v = PyFloat_AS_DOUBLE(number.get()) * scale;
    if (!std::isfinite(v) || v < 0.0) return {};
    return pk::ref::steal(PyFloat_FromDouble(v));
}

// Seconds from now until an HTTP date (never less than 0), or null for a text that is none.
pk::ref date_seconds(PyObject* text) {
    pk::ref utils = pk::import("email.utils");
    pk::ref parse = pk::getattr(utils.get(), n_parsedate);
    pk::ref when = pk::ref::steal_or_null(PyObject_CallOneArg(parse.get(), text));
    if (!when) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw pk::python_error{};
        PyErr_Clear();
        return {};
    }
    // A date without a zone would be read as local time; HTTP dates are GMT.
    pk::ref zone = pk::getattr(when.get(), n_tzinfo);
    if (zone.get() == Py_None) return {};
    double at = PyFloat_AsDouble(pk::call_method(when.get(), n_timestamp).get());
    if (at == -1.0 && PyErr_Occurred()) throw pk::python_error{};
    pk::ref time_module = pk::import("time");
    double now = PyFloat_AsDouble(pk::call_method(time_module.get(), n_time).get());
    if (now == -1.0 && PyErr_Occurred()) throw pk::python_error{};
    return pk::ref::steal(PyFloat_FromDouble(at > now ? at - now : 0.0));
}

// The wait a reply asks for: "retry-after-ms" (milliseconds), else "Retry-After" (seconds or an
// HTTP date); null when it asks for none or says it in a form that is neither.
pk::ref retry_after_of(PyObject* response) {
    pk::ref headers = pk::getattr_opt(response, n_headers);
    if (!headers || headers.get() == Py_None) return {};
    pk::ref ms = pk::call_method(headers.get(), n_get, n_retry_after_ms_header);
    if (PyUnicode_Check(ms.get()))
        if (pk::ref seconds = header_seconds(ms.get(), 0.001)) return seconds;
    pk::ref value = pk::call_method(headers.get(), n_get, n_retry_after_header);
    if (!PyUnicode_Check(value.get())) return {};
    if (pk::ref seconds = header_seconds(value.get(), 1.0)) return seconds;
    return date_seconds(value.get());
}

// The body with the API key masked, still bytes: decoded byte for byte and back again, so the
// masking is the one the printed reports get.
pk::ref masked_body(PyObject* self, PyObject* content) {
    if (!PyBytes_Check(content)) return pk::ref::borrow(content);
    pk::ref text = pk::call_method(content, n_decode, n_utf8, n_surrogateescape);
    pk::ref masked = without_api_key(self, text.get());
    if (masked.get() == text.get()) return pk::ref::borrow(content);
    return pk::call_method(masked.get(), n_encode, n_utf8, n_surrogateescape);
}

// Statuses that say "not now" rather than "not this": timeout, conflict, rate limit, server errors.
bool retryable_status(PyObject* code) {
    if (!PyLong_Check(code)) return false;
    long status = PyLong_AsLong(code);
    if (status == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return status == 408 || status == 409 || status == 429 || (status >= 500 && status <= 599);
}

// The number of retries the configuration allows (option "retries" of self.section), 0 when unset.
long configured_retries(PyObject* self) {
    pk::ref configurator = pk::global(globals(), n_Configurator);
    pk::ref section = pk::getattr(self, n_section);
    pk::ref has = pk::call(pk::getattr(configurator.get(), n_has_option), section, n_retries);
    if (!pk::truthy(has.get())) return 0;
    pk::ref value = pk::call(pk::getattr(configurator.get(), n_get), section, n_retries);
    pk::ref number;
    if (PyLong_Check(value.get()) && !PyBool_Check(value.get())) {
        number = value;
    } else if (PyUnicode_Check(value.get())) {
        number = pk::ref::steal_or_null(PyLong_FromUnicodeObject(value.get(), 10));
        if (!number) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw pk::python_error{};
            PyErr_Clear();
        }
    }
    long n = number ? PyLong_AsLong(number.get()) : -1;
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    if (n < 0 || n > 100)
        pk::raise(PyExc_ValueError, "the retries of section %R must be a whole number from 0 to 100, not %R",
                  section.get(), value.get());
    return n;
}

// How long to wait before attempt `attempt` + 1 after `error`, or a negative number when the
// error is not one to try again.
double retry_delay(PyObject* error, long attempt) {
    if (PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(status_error_type))) {
        pk::ref code = pk::getattr(error, n_status_code);
        if (!retryable_status(code.get())) return -1.0;
        pk::ref asked = pk::getattr(error, n_retry_after);
        if (PyFloat_Check(asked.get()) || PyLong_Check(asked.get())) {
            double seconds = PyFloat_AsDouble(asked.get());
            if (seconds == -1.0 && PyErr_Occurred()) throw pk::python_error{};
            return seconds <= longest_retry_after ? seconds : -1.0;
        }
    } else {
        pk::ref requests = pk::global(globals(), n_requests);
        pk::ref connection_error = pk::getattr(requests.get(), n_ConnectionError);
        if (!pk::isinstance(error, connection_error.get())) return -1.0;
    }
    pk::ref random_module = pk::import("random");
    double r = PyFloat_AsDouble(pk::call_method(random_module.get(), n_random).get());
    if (r == -1.0 && PyErr_Occurred()) throw pk::python_error{};
    double delay = std::min(first_delay * std::ldexp(1.0, static_cast<int>(std::min(attempt, 30L))), longest_delay);
    return delay * (1.0 - jitter * r);
}

}  // namespace

[[noreturn]] void raise_status_error(PyObject* self, PyObject* response, PyObject* message) {
    pk::ref code = pk::getattr(response, n_status_code);
    pk::ref content = pk::getattr(response, n_content_bytes);
    pk::ref body = masked_body(self, content.get());
    pk::ref retry_after = retry_after_of(response);
    pk::ref error = pk::call(status_error_type, message, code, body, retry_after ? retry_after.get() : Py_None);
    pk::raise_object(std::move(error));
}

pk::ref post_retrying(PyObject* self, pk::ref (*post)(PyObject*)) {
    long allowed = -1;  // read from the configuration at the first failure only
    for (long attempt = 0;; ++attempt) {
        try {
            return post(self);
        } catch (pk::python_error&) {
            if (!pk::error_is_exception()) throw;
            pk::ref error = pk::fetch_error();
            double delay = -1.0;
            {
                handling scope(error.get());
                if (allowed < 0) allowed = configured_retries(self);
                if (attempt < allowed) delay = retry_delay(error.get(), attempt);
            }
            if (delay < 0.0) pk::raise_object(std::move(error));
            // A wait that would outlast the turn's deadline is not waited: the error goes out now.
            double deadline = turn_deadline::current();
            if (!std::isnan(deadline) && monotonic_now() + delay >= deadline) pk::raise_object(std::move(error));
            // time.sleep, looked up when it runs; an interruption of the wait ends the call with it.
            pk::ref time_module = pk::import("time");
            pk::ref seconds = pk::ref::steal(PyFloat_FromDouble(delay));
            pk::call(pk::getattr(time_module.get(), n_sleep), seconds);
        }
    }
}

void define_errors(PyObject* m) {
    PyObject* g = globals();
    pk::ref bases = pk::tuple({PyExc_ValueError});
    pk::class_builder c(g, "APIStatusError", "APIStatusError", bases.get());
    c.set("__doc__", pk::str("The server answered a request with a status other than 200.\n\n"
                             "status_code is the HTTP status, body the reply's bytes (with the API key\n"
                             "masked) and retry_after the seconds the server asked the client to wait\n"
                             "(Retry-After), or None."));
    pk::ref defaults = pk::tuple({Py_None, Py_None, Py_None});
    c.method(status_error_init_def, defaults.get());
    pk::ref cls = c.create();
    status_error_type = Py_NewRef(cls.get());
    pk::bind(m, "APIStatusError", cls.get());
}

}  // namespace pkmodal
