// The pieces of parleykit.modal: each concern defines its functions in its own file; client.cpp
// assembles LLModal's class body from them in declaration order.
#pragma once
#include "pk/coro.hpp"
#include "pk/klass.hpp"
#include "pk/module.hpp"

#include <cmath>
#include <deque>
#include <functional>
#include <string>

namespace pkmodal {

// The module namespace: methods look module-level names up here when they run.
PyObject* globals();
void set_globals(PyObject* module_dict);

// Names shared by several concerns, interned once.
extern pk::name n_LLMResult, n_LLMStatus, n_MessageRole, n_Message, n_Configurator, n_requests, n_json;
extern pk::name n_tool_calls, n_tool_results, n_reasoning_content, n_content, n_status, n_extra_body, n_get,
    n_stream, n_tool_calls_count, n_close, n_default, n_messages, n_role, n_update;

// self.<attr> for a pydantic private attribute (its value lives in __pydantic_private__), read the
// way pydantic reads it but without a failed generic lookup first; any other case takes getattr.
pk::ref private_attr(PyObject* self, const pk::name& attr);

// Notes the standard json functions the streaming reader decodes chunks with (response.cpp).
void remember_json(PyObject* module);

// `text` with every occurrence of the configured API key (Configurator's "api_key" of self.section,
// when present and not empty) replaced by "[api key]": servers echo the key in error bodies, and
// the client prints the texts of errors (request.cpp).
pk::ref without_api_key(PyObject* self, PyObject* text);

// The request timeout configured in the option "timeout" of self.section (seconds, or
// "connect,read" seconds), or null when none is set; ValueError when it is not such a value
// (request.cpp).
pk::ref request_timeout(PyObject* self);

// A numeric option of self.section as Configurator.setting checks it, or null when unset or when
// the configuration has no such check (request.cpp).
pk::ref request_setting(PyObject* self, const char* option);

// ---- reading a reply's body (body.cpp) ----

double monotonic_now();

// What a reply is read within: the turn's deadline (monotonic seconds, NaN for none) and the
// configured seconds it came from, the read timeout (NaN for none) and the cap on its bytes.
struct reply_limits {
    double deadline = NAN;
    double deadline_seconds = NAN;
    double read_timeout = NAN;
    long long max_bytes = 64LL * 1024 * 1024;
};
// The limits travel with the response that the request gave, to whichever reader reads it.
void attach_limits(PyObject* response, const reply_limits& limits);
reply_limits limits_of(PyObject* response);
// requests' ReadTimeout saying the turn ran past its deadline.
[[noreturn]] void raise_past_deadline(double configured_seconds);

// While it lives, the turn on this thread has this deadline (NaN: not yet known); the follow-up
// requests of a tool round post within the deadline of the turn that asked for them.
class turn_deadline {
public:
    explicit turn_deadline(double deadline);
    ~turn_deadline();
    turn_deadline(const turn_deadline&) = delete;
    turn_deadline& operator=(const turn_deadline&) = delete;
    static double current();
    static void start(double deadline);

private:
    double previous_;
};

// The body of one response, read as it arrives: chunked bodies through requests' iter_content,
// others (ended by the connection closing) with read1, which hands over whatever has arrived.
// Counts the bytes against the cap and bounds each read by the deadline.
class body_reader {
public:
    explicit body_reader(PyObject* response);
    // The source to pass to next(): kept by the caller where the collector sees it.
    pk::ref open(PyObject* response);
    // The connection's socket, which the deadline bounds reads through; a generator keeps it in
    // a slot, where the collector sees it, and the reader borrows it from there.
    pk::ref hand_over_socket();
    // The next bytes, or null at the end of the body.
    pk::ref next(PyObject* source);
    bool oversize() const { return spent_ > limits_.max_bytes; }
    [[noreturn]] void raise_oversize(PyObject* response);

private:
    pk::ref socket_of(PyObject* raw);
    void before_read();
    [[noreturn]] void after_failed_read(bool translate);

    reply_limits limits_;
    pk::ref socket_;
    PyObject* borrowed_socket_ = nullptr;
    long long spent_ = 0;
    bool raw_reads_ = false;
    bool oversize_ = false;
};

// Reads the whole body of a response not yet read, within its limits, where response.content
// and response.json() find it.
void read_whole_body(PyObject* response);

// The body's lines as bytes.splitlines() cuts them ("\n", "\r\n" or "\r"). A partial line is
// kept once and each byte scanned once, so a multi-megabyte line costs linear time.
class line_reader {
public:
    // The next line, or null at the end of the body or when `cancelled` said so before a read.
    pk::ref next(body_reader& body, PyObject* source, PyObject* response, const std::function<bool()>& cancelled);
    bool cancelled() const { return cancelled_; }

private:
    void split(const char* data, Py_ssize_t n);
    void emit(const char* tail, Py_ssize_t size);

    std::deque<pk::ref> ready_;
    std::string partial_;
    bool skip_lf_ = false;
    bool done_ = false;
    bool cancelled_ = false;
};
// A non-200 reply: raises APIStatusError(message) carrying the response's status, its body with
// the API key masked and the wait its Retry-After asks for (retry.cpp).
[[noreturn]] void raise_status_error(PyObject* self, PyObject* response, PyObject* message);
// post(self), tried again while it fails with a retryable status or a connection error and the
// configuration's "retries" of self.section allows, after a backoff wait (retry.cpp).
pk::ref post_retrying(PyObject* self, pk::ref (*post)(PyObject*));

// Usage figures and finish reason of the request cycle (usage.cpp): a new cycle starts with none;
// each reply adds the numbers of its "usage" document to those of the replies before it (`base`,
// the cycle's usage so far when null; a stream that reports usage more than once passes the usage
// before its own reply, so its last report counts) and sets the finish reason.
void begin_cycle_figures(PyObject* self);
pk::ref cycle_usage(PyObject* self);
void note_usage(PyObject* self, PyObject* document, PyObject* base = nullptr);
void note_finish_reason(PyObject* self, PyObject* reason);
extern const pk::fn_def usage_def, finish_reason_def;

// Result model: LLMStatus, ToolContent, LLMResult.
void define_results(PyObject* module);
// APIStatusError, the error of a non-200 reply (retry.cpp).
void define_errors(PyObject* module);
// The conversation client LLModal.
void define_client(PyObject* module);

// Methods of LLModal, by concern (each defined in its own file).
extern const pk::fn_def reset_def, stream_def;
// request.cpp: the request pieces, read-only properties.
extern const pk::fn_def extra_body_def, headers_def, body_def;
// history.cpp: the conversation history.
extern const pk::fn_def messages_latest_def, message_latest_def, add_message_def, message_process_def;
// tool_calls.cpp: the tool-call cycle (the two beautifiers are static methods).
extern const pk::fn_def add_tool_calls_def, t_calls_beautify_def, t_results_beautify_def, tool_calls_def;
// response.cpp: the reply readers.
extern const pk::fn_def response_def, stream_response_def;  // response.cpp
// driver.cpp: the call driver.
extern const pk::fn_def core_call_def, invoke_def;

// While it lives, `exc` is the exception being handled (sys.exception()), as inside an `except`
// block: an error raised by the handling code gets it as __context__.
class handling {
public:
    explicit handling(PyObject* exc) : previous_(pk::ref::steal_or_null(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~handling() { PyErr_SetHandledException(previous_.get()); }
    handling(const handling&) = delete;
    handling& operator=(const handling&) = delete;

private:
    pk::ref previous_;
};

// Marks the answer to the newest user entry (every entry after it but `keep`) superseded: a
// retried turn that asks for tools replaces that answer whole; returns the list of entries it
// marked, which restore_answer marks current again (history.cpp).
pk::ref supersede_answer(PyObject* self, PyObject* keep = nullptr);
void restore_answer(PyObject* marked);

// Makes the newest turn one a service accepts before the next user text follows it: tool calls
// that the client's own rounds left unanswered (an interrupted tool round) get a tool message
// saying they were cancelled, and the user entry of its own request, left unanswered, gets an
// empty assistant text. Entries the caller added are left as they are (history.cpp).
void settle_last_turn(PyObject* self, bool user_text_follows);

// While it lives, the client `self` is at work on this thread; constructing it while another
// thread is at work in the same client raises RuntimeError (ownership.cpp).
class turn_scope {
public:
    explicit turn_scope(PyObject* self);
    ~turn_scope();
    turn_scope(const turn_scope&) = delete;
    turn_scope& operator=(const turn_scope&) = delete;

private:
    PyObject* self_;
};

// True while this thread is at work in the client `self` (ownership.cpp).
bool at_work_here(PyObject* self);

// One turn at a time (turns.cpp). begin_turn refuses a turn started from inside one of the
// client's own turns and ends the stream its previous turn handed out, if still open; the notes
// record what the newest turn itself put into the history, which settling then limits itself to.
void begin_turn(PyObject* self);
void note_stream(PyObject* self, PyObject* stream);
void note_user_entry(PyObject* self, PyObject* entry);
bool is_own_user_entry(PyObject* self, PyObject* entry);
void note_tool_request(PyObject* self, PyObject* entry);
bool is_own_tool_request(PyObject* self, PyObject* entry);
void forget_tool_requests(PyObject* self);

// The streams _stream_response makes (response.cpp): whether `o` is one, whether it (or the
// follow-up it delegates to) is running now, and ending one for a newer turn: its replies are
// closed, and pulling it again raises RuntimeError; its history stays as its close() leaves it.
bool is_stream(PyObject* o);
bool stream_running(PyObject* stream);
void end_stream(PyObject* stream);

// The newest user entry of `messages`, or null (history.cpp).
pk::ref newest_user_entry(PyObject* messages);

// The request form of the images and video among a history entry's content parts (media.cpp),
// for the entries of one request: the configuration is asked at most once, and only when a video
// is sent.
class media_form {
public:
    explicit media_form(PyObject* self) : self_(self) {}
    // The parts to send in place of `parts` (a list), or null when they go as they are.
    pk::ref content(PyObject* parts);

private:
    bool frame_list();
    PyObject* self_;
    int frame_list_ = -1;  // not asked yet
};

// The reasoning that came with a reply under "reasoning_content" is kept with the tool-call request
// that the round just run appended at position `at` of the history, and is sent with that request
// until the cycle ends (history.cpp). Services with a thinking mode require it within the cycle.
void keep_round_reasoning(PyObject* self, Py_ssize_t at, PyObject* reasoning);
// len(self.messages) when it is a list, else -1: where the next tool round's request will stand.
Py_ssize_t history_length(PyObject* self);
// Forgets the reasoning kept with this cycle's tool-call requests (history.cpp).
void forget_round_reasoning(PyObject* self);

// MessageRole.<member>, the class read from the module namespace at call time (history.cpp).
pk::ref role_of(const pk::name& member);
// self.add_message(role=MessageRole.<member>, content=...): the content is `content`, or the
// attribute `field` of self when that is given (read after the role, as Python evaluates the call).
void add_message_as(PyObject* self, const pk::name& member, PyObject* content, const pk::name* field = nullptr);

}  // namespace pkmodal
