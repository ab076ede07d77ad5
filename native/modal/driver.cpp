// The call driver of LLModal: `invoke` seeds the history for one user turn, `_core_call` posts one
// request and hands the response to the plain or streaming reader; a failed request is reported,
// answered in the history and raised again as the same exception object.
#include "modal/parts.hpp"

namespace pkmodal {
namespace {

pk::name n_system{"system"}, n_user{"user"}, n_assistant{"assistant"}, n_system_prompt{"system_prompt"},
    n_images{"images"}, n_retry{"retry"}, n_reset{"_reset"}, n_core_call{"_core_call"},
    n_post{"post"}, n_timeout{"timeout"}, n_endpoint_url{"endpoint_url"}, n_headers_prop{"_headers"}, n_body_prop{"_body"},
    n_headers{"headers"}, n_json_kw{"json"}, n_status_code{"status_code"}, n_content_attr{"content"},
    n_response{"_response"}, n_stream_response{"_stream_response"}, n_request_error{"LLM request error: "},
    n_looking{"looking"}, n_enter{"__enter__"}, n_exit{"__exit__"};

// While it lives, the configuration file is looked at once: every option this request reads
// sees the same file (Configurator.looking(), when the configuration offers it).
class one_look {
public:
    explicit one_look() {
        pk::ref configurator = pk::global(globals(), n_Configurator);
        pk::ref looking = pk::getattr_opt(configurator.get(), n_looking);
        if (!looking) return;
        pk::ref scope = pk::call(looking);
        pk::call_method(scope.get(), n_enter);
        scope_ = std::move(scope);
    }
    ~one_look() {
        if (!scope_) return;
        // Leaving the scope keeps the error being raised, if any.
        pk::ref pending = pk::fetch_error();
        PyObject* result = PyObject_CallMethodObjArgs(scope_.get(), n_exit.get(), Py_None, Py_None, Py_None, nullptr);
        if (result) Py_DECREF(result);
        else PyErr_WriteUnraisable(scope_.get());
        if (pending) PyErr_SetRaisedException(pending.release());
    }
    one_look(const one_look&) = delete;
    one_look& operator=(const one_look&) = delete;

private:
    pk::ref scope_;
};

double seconds_value(PyObject* number) {
    double v = PyFloat_AsDouble(number);
    if (v == -1.0 && PyErr_Occurred()) throw pk::python_error{};
    return v;
}

// The limits this request is read within, and the timeout its post takes (null for none): the
// configured timeout, each part cut to what is left of the turn's deadline when one is set.
pk::ref request_limits(PyObject* self, reply_limits& limits) {
    pk::ref timeout = request_timeout(self);
    double connect = NAN;
    if (timeout) {
        bool pair = PyTuple_Check(timeout.get()) && PyTuple_GET_SIZE(timeout.get()) == 2;
        connect = seconds_value(pair ? PyTuple_GET_ITEM(timeout.get(), 0) : timeout.get());
        limits.read_timeout = seconds_value(pair ? PyTuple_GET_ITEM(timeout.get(), 1) : timeout.get());
    }
    if (pk::ref cap = request_setting(self, "max_reply_bytes")) {
        limits.max_bytes = PyLong_AsLongLong(cap.get());
        if (limits.max_bytes == -1 && PyErr_Occurred()) throw pk::python_error{};
    }
    pk::ref deadline = request_setting(self, "deadline");
    if (!deadline) return timeout;
    limits.deadline_seconds = seconds_value(deadline.get());
    // The first request of a turn starts its clock; its follow-ups post within it.
    if (std::isnan(turn_deadline::current())) turn_deadline::start(monotonic_now() + limits.deadline_seconds);
    limits.deadline = turn_deadline::current();
    double left = limits.deadline - monotonic_now();
    if (left <= 0) raise_past_deadline(limits.deadline_seconds);
    double c = std::isnan(connect) ? left : std::min(connect, left);
    double r = std::isnan(limits.read_timeout) ? left : std::min(limits.read_timeout, left);
    pk::ref cs = pk::ref::steal(PyFloat_FromDouble(c)), rs = pk::ref::steal(PyFloat_FromDouble(r));
    return pk::tuple({cs.get(), rs.get()});
}

// The protected part of _core_call: post the request and refuse any status but 200.
pk::ref post(PyObject* self) {
    one_look look;
    pk::ref requests = pk::global(globals(), n_requests);
    pk::ref post_fn = pk::getattr(requests.get(), n_post);
    pk::ref url = pk::getattr(self, n_endpoint_url);
    pk::ref headers = pk::getattr(self, n_headers_prop);
    pk::ref body = pk::getattr(self, n_body_prop);
    pk::ref stream = pk::getattr(self, n_stream);
    bool whole = !pk::truthy(stream.get());
    // Every reply is read by the client itself within its limits (requests would read a whole
    // one without bound inside post); a whole reply is still read here, as part of the request.
    stream = pk::ref::borrow(Py_True);
    reply_limits limits;
    // A timeout goes with the request only when one is configured: by default the request is
    // exactly what it always was, and a silent server is waited for.
    pk::ref timeout = request_limits(self, limits);
    pk::ref response = timeout ? pk::call(post_fn, url, pk::kw(n_headers, headers), pk::kw(n_json_kw, body),
                                          pk::kw(n_stream, stream), pk::kw(n_timeout, timeout))
                               : pk::call(post_fn, url, pk::kw(n_headers, headers), pk::kw(n_json_kw, body),
                                          pk::kw(n_stream, stream));
    attach_limits(response.get(), limits);
    if (whole) read_whole_body(response.get());
    pk::ref status = pk::getattr(response.get(), n_status_code);
    pk::ref ok = pk::integer(200);
    pk::ref differs = pk::ref::steal(PyObject_RichCompare(status.get(), ok.get(), Py_NE));
    if (pk::truthy(differs.get())) {
        read_whole_body(response.get());
        // f"code: {response.status_code}, content: {response.content}"
        pk::ref code = pk::getattr(response.get(), n_status_code);
        pk::ref code_text = pk::fstring_field(code.get());
        pk::ref content = pk::getattr(response.get(), n_content_attr);
        pk::ref content_text = pk::fstring_field(content.get());
        pk::ref message = pk::ref::steal(PyUnicode_FromFormat("code: %U, content: %U", code_text.get(),
                                                              content_text.get()));
        // Error bodies may echo the API key; the exception is logged and shown, so it never holds it.
        pk::ref masked = without_api_key(self, message.get());
        raise_status_error(self, response.get(), masked.get());
    }
    return response;
}

// def _core_call(self) -> LLMResult | Iterator[LLMResult]
pk::ref core_call(PyObject* const* a) {
    PyObject* self = a[0];
    turn_scope at_work(self);
    // A deadline this request starts ends with it unless a reader carries it on to a follow-up.
    turn_deadline clock(turn_deadline::current());
    pk::ref response;
    try {
        response = post_retrying(self, post);
    } catch (pk::python_error&) {
        // Only Exception subclasses are answered; KeyboardInterrupt and friends pass untouched.
        if (!pk::error_is_exception()) throw;
        pk::ref exc = pk::fetch_error();
        {
            handling scope(exc.get());
            pk::ref text = without_api_key(self, pk::str_of(exc.get()).get());
            pk::ref line = pk::ref::steal(PyUnicode_Concat(n_request_error, text.get()));
            pk::print_flush(line.get());
            add_message_as(self, n_assistant, nullptr, &n_default);
            pk::call_method(self, n_reset);
        }
        pk::raise_object(std::move(exc));
    }
    // A new reply: its finish reason is its own (none until it says one).
    note_finish_reason(self, Py_None);
    pk::ref stream = pk::getattr(self, n_stream);
    return pk::call_method(self, pk::truthy(stream.get()) ? n_stream_response : n_response, response);
}

// def invoke(self, prompt: str) -> LLMResult | Iterator[LLMResult]: one user turn.
pk::ref invoke(PyObject* const* a) {
    PyObject *self = a[0], *prompt = a[1];
    pk::check_exact(prompt, &PyUnicode_Type, "prompt");
    // Refused from inside a turn of this client; a stream of its previous turn still open ends here.
    begin_turn(self);
    turn_scope at_work(self);
    // A new turn: its deadline, if one is configured, starts with its first request.
    turn_deadline clock(NAN);
    pk::ref images = pk::getattr(self, n_images);
    bool user_text = pk::truthy(images.get()) || PyUnicode_GET_LENGTH(prompt) != 0;
    {
        // A turn that an interruption left half done is settled now, when the next one starts:
        // the interruption itself passed through untouched.
        pk::ref retry = pk::getattr(self, n_retry);
        settle_last_turn(self, user_text && !pk::truthy(retry.get()));
        forget_tool_requests(self);
    }
    {
        pk::ref system_prompt = pk::getattr(self, n_system_prompt);
        if (pk::truthy(system_prompt.get())) {
            pk::ref messages = pk::getattr(self, n_messages);
            if (pk::check(PyObject_Length(messages.get())) == 0) add_message_as(self, n_system, nullptr, &n_system_prompt);
        }
    }
    images = pk::getattr(self, n_images);
    if (pk::truthy(images.get()) || PyUnicode_GET_LENGTH(prompt) != 0) add_message_as(self, n_user, prompt);
    {
        // The user entry this turn's requests carry: the one settling may answer if it gets none.
        pk::ref messages = pk::getattr(self, n_messages);
        pk::ref user = newest_user_entry(messages.get());
        if (user) note_user_entry(self, user.get());
    }
    // A new turn is a new request cycle: tool calls left by a stream the consumer abandoned must
    // not be run, nor count against this cycle's limit.
    pk::call_method(self, n_reset);
    begin_cycle_figures(self);
    pk::ref result = pk::call_method(self, n_core_call);
    note_stream(self, result.get());
    return result;
}

}  // namespace

const pk::fn_def core_call_def{.name = "_core_call", .qualname = "LLModal._core_call", .impl = core_call,
                               .params = {{"self"}}, .returns = "LLMResult | Iterator[LLMResult]",
    .doc = "Post one request of the cycle and hand the reply to its reader.\n"
              "\n"
              "A failed request is reported, answered in the history and raised again."};
const pk::fn_def invoke_def{.name = "invoke", .qualname = "LLModal.invoke", .impl = invoke,
                            .params = {{"self"}, {"prompt", "str"}},
                            .returns = "LLMResult | Iterator[LLMResult]",
    .doc = "Send one user turn; return its LLMResult, or an iterator of LLMResult pieces when streaming."};

}  // namespace pkmodal
