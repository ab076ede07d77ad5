// The reply readers: _response for a whole JSON reply, and _stream_response, a native generator
// that reads server-sent-event lines as they arrive and yields LLMResult pieces.
#include "modal/parts.hpp"
#include "pk/depth.hpp"

#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace pkmodal {
namespace {

pk::name n_message_process{"_message_process"}, n_add_message{"add_message"}, n_t_calls_beautify{"_t_calls_beautify"},
    n_t_results_beautify{"_t_results_beautify"}, n_tool_calls_fn{"_tool_calls"}, n_core_call{"_core_call"},
    n_reset{"_reset"}, n_json_method{"json"}, n_loads{"loads"}, n_close_method{"close"},
    n_choices{"choices"}, n_message{"message"}, n_delta{"delta"}, n_finish_reason{"finish_reason"},
    n_tool_calls_limit{"tool_calls_limit"}, n_error{"error"}, n_assistant{"assistant"}, n_idle{"idle"},
    n_reason{"reason"}, n_answer{"answer"}, n_status_tool_calls{"tool_calls"}, n_status_tool_results{"tool_results"},
    n_stream_response{"_stream_response"}, n_stream_response_qual{"LLModal._stream_response"}, n_decode{"decode"},
    n_lstrip{"lstrip"}, n_strip{"strip"}, n_iter_content{"iter_content"}, n_chunk_size{"chunk_size"}, n_value{"value"},
    n_default_decoder{"_default_decoder"}, n_scan_once{"scan_once"}, n_decode_error{"JSONDecodeError"}, n_raw_decode{"raw_decode"},
    n_parse_error{"Error parsing LLM response: "}, n_empty{""}, n_raw{"raw"}, n_usage{"usage"},
    n_stream_options{"stream_options"}, n_include_usage{"include_usage"};

// self.add_message(role=MessageRole.assistant, content=text)
void add_assistant(PyObject* self, PyObject* text) {
    pk::ref role = pk::getattr(pk::global(globals(), n_MessageRole).get(), n_assistant);
    pk::ref add = pk::getattr(self, n_add_message);
    pk::call(add, pk::kw(n_role, role), pk::kw(n_content, text));
}

// LLMResult(**fields, status=LLMStatus.<status>), in the order the readers pass them.
pk::ref status_of(const pk::name& status) { return pk::getattr(pk::global(globals(), n_LLMStatus).get(), status); }
pk::ref result_cls() { return pk::global(globals(), n_LLMResult); }

// Where a reading is when a failure reaches it. A failure is reported and answered once, where it
// happens: a follow-up request reports its own (the driver for a failed post, the nested reading
// for its reply), and the refused tool round has recorded the default answer itself.
// A failure raised because another thread is at work in the client belongs to nobody's reading
// here: it passes through without a report, a history write or a reset of the other's state.
enum class stage { reply, tool_round, refused_tool_round, follow_up, elsewhere };

// The failure of a reading: one flushed line and the default answer when this reading recorded
// none, unless reported where it happened; then the tool-call state reset. All of it runs while
// `exc` is the exception being handled. The caller then raises `exc` again.
void report_failure(PyObject* self, PyObject* exc, bool already_add, stage at) {
    if (at == stage::elsewhere) return;
    handling scope(exc);
    if (at != stage::follow_up) {
        pk::ref text = without_api_key(self, pk::str_of(exc).get());
        pk::ref line = pk::ref::steal(PyUnicode_Concat(n_parse_error, text.get()));
        pk::print_flush(line.get());
    }
    if (!already_add && (at == stage::reply || at == stage::tool_round)) {
        pk::ref fallback = pk::getattr(self, n_default);
        add_assistant(self, fallback.get());
    }
    pk::call_method(self, n_reset);
}

// Lets go of the connection of a whole reply that has been read, before its tool round and
// follow-up.
// requests hands it back to the pool of the one-call session that made it, which nothing closes,
// and the reading that posts the follow-up keeps the response (and so the socket) until the turn
// ends. The body is in the response already; dropping its urllib3 response drops that pool. A
// connection handed back to a live pool (a session of the caller's) stays in it.
void release_connection(PyObject* response) {
    pk::call_method(response, n_close_method);
    if (pk::getattr_opt(response, n_raw)) pk::setattr(response, n_raw, Py_None);
}

const char* const tool_round_depth = " in the follow-up of a tool-call round";

// The tool round would be refused: the cycle has run tool_calls_limit rounds already.
bool at_tool_limit(PyObject* self) {
    pk::ref count = private_attr(self, n_tool_calls_count);
    pk::ref limit = pk::getattr(self, n_tool_calls_limit);
    return !pk::check(PyObject_RichCompareBool(count.get(), limit.get(), Py_LT));
}

// A server that fails after answering 200 says so in an "error" member (a whole reply or one
// chunk); its message becomes the exception's text instead of a KeyError on "choices".
[[noreturn]] void raise_server_error(PyObject* self, PyObject* error) {
    pk::ref message = pk::ref::borrow(error);
    if (PyDict_Check(error)) {
        pk::ref found = pk::ref::borrow(PyDict_GetItemWithError(error, n_message));
        if (!found && PyErr_Occurred()) throw pk::python_error{};
        if (found) message = std::move(found);
    }
    pk::ref text = pk::ref::steal(PyUnicode_FromFormat("server error: %S", message.get()));
    // Error messages may echo the API key; the exception is logged and shown, so it never holds it.
    pk::ref masked = without_api_key(self, text.get());
    pk::raise_object(pk::call(PyExc_ValueError, masked));
}

void check_server_error(PyObject* self, PyObject* document) {
    if (!PyDict_Check(document)) return;
    // A strong reference: its truth test may run code that changes the document.
    pk::ref error = pk::ref::borrow(PyDict_GetItemWithError(document, n_error));
    if (!error && PyErr_Occurred()) throw pk::python_error{};
    if (error && pk::truthy(error.get())) raise_server_error(self, error.get());
}

// The reasoning text a reply message or delta carries under "reasoning_content" (the key that
// services with a thinking mode want it back under), or null.
pk::ref sent_reasoning(PyObject* message) {
    if (!PyDict_Check(message)) return {};
    pk::ref text = pk::ref::borrow(PyDict_GetItemWithError(message, n_reasoning_content));
    if (!text && PyErr_Occurred()) throw pk::python_error{};
    return text && PyUnicode_Check(text.get()) && PyUnicode_GET_LENGTH(text.get()) != 0 ? text : pk::ref{};
}

// The finish reason of a whole reply's first choice, when it is a mapping that has one.
void note_reply_finish(PyObject* self, PyObject* choice) {
    if (!PyDict_Check(choice)) return;
    pk::ref reason = pk::ref::borrow(PyDict_GetItemWithError(choice, n_finish_reason));
    if (!reason && PyErr_Occurred()) throw pk::python_error{};
    if (reason) note_finish_reason(self, reason.get());
}

// The usage and finish reason of a streamed reply. A stream ends at its finish reason, except
// that a request with stream_options.include_usage is read on to the usage chunk that servers
// send after it (with no choices), unless the usage came already.
class reply_figures {
public:
    explicit reply_figures(PyObject* self) : wants_usage_(asks_for_usage(self)), before_(cycle_usage(self)) {}

    // Notes a chunk's usage; true when the stream has nothing more to say.
    bool see_chunk(PyObject* self, PyObject* chunk) {
        if (PyDict_Check(chunk)) {
            PyObject* figures = PyDict_GetItemWithError(chunk, n_usage);
            if (!figures && PyErr_Occurred()) throw pk::python_error{};
            if (figures && PyDict_Check(figures)) {
                // Some servers repeat the running totals in every chunk: the last one counts.
                note_usage(self, chunk, before_.get());
                has_usage_ = true;
            }
        }
        return finished_ && has_usage_;
    }

    // Notes the finish reason; true when the stream should end here.
    bool finished(PyObject* self, PyObject* reason) {
        note_finish_reason(self, reason);
        finished_ = true;
        return !wants_usage_ || has_usage_;
    }

private:
    static bool asks_for_usage(PyObject* self) {
        pk::ref extra = pk::getattr(self, n_extra_body);
        if (!PyDict_Check(extra.get())) return false;
        PyObject* options = PyDict_GetItemWithError(extra.get(), n_stream_options);
        if (!options && PyErr_Occurred()) throw pk::python_error{};
        if (!options || !PyDict_Check(options)) return false;
        pk::ref held = pk::ref::borrow(options);
        PyObject* include = PyDict_GetItemWithError(options, n_include_usage);
        if (!include && PyErr_Occurred()) throw pk::python_error{};
        return include && pk::truthy(include);
    }

    bool wants_usage_;
    pk::ref before_;  // the cycle's usage before this reply: a dict of numbers, or None
    bool has_usage_ = false;
    bool finished_ = false;
};

// def _response(self, response: "requests.Response") -> "LLMResult"
pk::ref response_impl(PyObject* const* a) {
    PyObject *self = a[0], *response = a[1];
    bool already_add = false;
    stage at = stage::reply;
    try {
        pk::ref process = pk::getattr(self, n_message_process);
        double deadline = limits_of(response).deadline;
        read_whole_body(response);
        pk::ref body = pk::call_method(response, n_json_method);
        check_server_error(self, body.get());
        note_usage(self, body.get());
        pk::ref choices = pk::getitem(body.get(), n_choices);
        pk::ref first = pk::getitem(choices.get(), pk::integer(0).get());
        note_reply_finish(self, first.get());
        pk::ref reply = pk::getitem(first.get(), n_message);
        pk::ref message = pk::call(process, reply);

        pk::ref pending = pk::getattr(self, n_tool_calls);
        bool has_calls = pk::truthy(pending.get());
        if (!has_calls || pk::truthy(pk::getitem(message.get(), n_content).get())) {
            pk::ref content = pk::getitem(message.get(), n_content);
            add_assistant(self, content.get());
            already_add = true;
        }
        pending = pk::getattr(self, n_tool_calls);
        if (pk::truthy(pending.get())) {
            release_connection(response);
            pk::ref calls = pk::call_method(self, n_t_calls_beautify, pending);
            pk::ref beautify = pk::getattr(self, n_t_results_beautify);
            at = at_tool_limit(self) ? stage::refused_tool_round : stage::tool_round;
            Py_ssize_t request_at = history_length(self);
            pk::ref messages = pk::call_method(self, n_tool_calls_fn);
            keep_round_reasoning(self, request_at, sent_reasoning(reply.get()).get());
            at = stage::reply;
            pk::ref results = pk::call(beautify, calls, messages);
            pk::ref iteration = pk::call(result_cls(), pk::kw(n_tool_calls, calls), pk::kw(n_tool_results, results));
            // Each follow-up nests one more reading: a runaway tool loop ends in RecursionError
            // here, reported by this reading, instead of overflowing the C stack.
            pk::recursion_guard depth(tool_round_depth);
            at = stage::follow_up;
            pk::ref follow_up;
            {
                turn_deadline clock(deadline);
                follow_up = pk::call_method(self, n_core_call);
            }
            at = stage::reply;
            return pk::ref::steal(PyNumber_Add(iteration.get(), follow_up.get()));
        }
        pk::call_method(self, n_reset);
        pk::ref idle = status_of(n_idle);
        return pk::call_kwargs(result_cls().get(), message.get(), {pk::kw(n_status, idle)});
    } catch (pk::python_error&) {
        if (!pk::error_is_exception()) throw;
    }
    // Outside the handler: report, then raise the very same exception object.
    pk::ref exc = pk::fetch_error();
    report_failure(self, exc.get(), already_add, at);
    pk::raise_object(std::move(exc));
}

// ---- the streaming reader ----------------------------------------------------------------------

// Generator slots: the state that lives across yields, visible to the garbage collector.
enum slot { s_self, s_response, s_lines, s_event, s_calls, s_event_line, s_sock, s_reasoning, s_ended };
static_assert(s_ended < pk::max_locals, "the stream reader's state fits the generator's slots");

const char* const ended_text = "this stream was ended: a newer turn of its LLModal started";

// A stream that a newer turn ended refuses to go on: its history stays as that turn found it.
// Another thread at work in the client is said first, as for any stream read meanwhile.
void refuse_if_ended(pk::genobj* g) {
    if (!g->local(s_ended)) return;
    turn_scope probe(g->local(s_self));
    pk::raise(PyExc_RuntimeError, "%s", ended_text);
}

// What one line of the event stream asks the reader to do.
enum class line_kind { skip, end, data, error_field, other };

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Comment lines (":" keep-alives) and the fields event:, id:, retry: carry no chunk; "[DONE]"
// ends the stream like a finish reason; "error:" is a server error.
line_kind classify(std::string_view s) {
    if (s.empty() || s[0] == ':') return line_kind::skip;
    if (starts_with(s, "data:")) {
        std::string_view payload = s.substr(5);
        if (!payload.empty() && payload[0] == ' ') payload.remove_prefix(1);
        while (!payload.empty() && (payload.back() == ' ' || payload.back() == '\r')) payload.remove_suffix(1);
        return payload == "[DONE]" ? line_kind::end : line_kind::data;
    }
    if (starts_with(s, "event:") || starts_with(s, "id:") || starts_with(s, "retry:")) return line_kind::skip;
    if (starts_with(s, "error:")) return line_kind::error_field;
    return line_kind::other;
}

// The standard json.loads and the pieces it decodes a str with, taken when the module loads.
PyObject* std_loads = nullptr;
PyObject* std_decoder = nullptr;      // json._default_decoder
PyObject* std_decode = nullptr;       // JSONDecoder.decode and .raw_decode, as its class holds them
PyObject* std_raw_decode = nullptr;
PyObject* std_scan_once = nullptr;    // the decoder's own scan_once
PyObject* std_decode_error = nullptr;

// The instance attribute `attr` of `o`, borrowed (null when absent; no error set).
PyObject* own_attr(PyObject* o, PyObject* attr) {
    PyObject** dictptr = pk::compat::instance_dict_slot(o);
    if (!dictptr || !*dictptr) return nullptr;
    PyObject* v = PyDict_GetItemWithError(*dictptr, attr);
    if (!v && PyErr_Occurred()) throw pk::python_error{};
    return v;
}

// True while json.loads would decode a str exactly through the pieces taken at load: the standard
// default decoder, its class's decode and raw_decode, and its scanner. A program that replaces any
// of them (to parse decimals, say) has every line go through json.loads instead. Identity checks
// only: no Python code runs.
bool standard_decoding(PyObject* json, PyObject* loads) {
    if (loads != std_loads) return false;
    pk::ref decoder = pk::getattr(json, n_default_decoder);
    if (decoder.get() != std_decoder) return false;
    PyTypeObject* tp = Py_TYPE(decoder.get());
    if (pk::compat::type_lookup(tp, n_decode) != std_decode || pk::compat::type_lookup(tp, n_raw_decode) != std_raw_decode)
        return false;
    if (own_attr(decoder.get(), n_decode) || own_attr(decoder.get(), n_raw_decode)) return false;
    return own_attr(decoder.get(), n_scan_once) == std_scan_once;
}

Py_ssize_t skip_json_whitespace(PyObject* s, Py_ssize_t at) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    while (at < n) {
        Py_UCS4 c = PyUnicode_READ_CHAR(s, at);
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
        ++at;
    }
    return at;
}

[[noreturn]] void raise_decode_error(const char* message, PyObject* doc, PyObject* pos) {
    pk::ref text = pk::str(message);
    pk::ref error = pk::call(std_decode_error, text, doc, pos);
    pk::raise_object(std::move(error));
}

// json.loads(text), with `json` looked up in the module namespace on each call. While that is the
// standard function, a str is decoded exactly as it would decode it (same checks, same scanner,
// same errors) without its three Python-level layers, which cost as much as the scanning itself.
pk::ref json_loads(PyObject* text) {
    pk::ref json = pk::global(globals(), n_json);
    pk::ref loads = pk::getattr(json.get(), n_loads);
    if (!PyUnicode_CheckExact(text) || !standard_decoding(json.get(), loads.get())) return pk::call(loads, text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n > 0 && PyUnicode_READ_CHAR(text, 0) == 0xFEFF)
        raise_decode_error("Unexpected UTF-8 BOM (decode using utf-8-sig)", text, pk::integer(0).get());
    pk::ref start = pk::integer(static_cast<long>(skip_json_whitespace(text, 0)));
    pk::ref scanned = pk::ref::steal_or_null(PyObject_CallFunctionObjArgs(std_scan_once, text, start.get(), nullptr));
    if (!scanned) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) throw pk::python_error{};
        pk::ref stop = pk::fetch_error();
        pk::ref pos = pk::getattr(stop.get(), n_value);
        raise_decode_error("Expecting value", text, pos.get());
    }
    PyObject* end_obj = PyTuple_GET_ITEM(scanned.get(), 1);
    Py_ssize_t end = PyLong_AsSsize_t(end_obj);
    if (end == -1 && PyErr_Occurred()) throw pk::python_error{};
    end = skip_json_whitespace(text, end);
    if (end != n) raise_decode_error("Extra data", text, pk::integer(static_cast<long>(end)).get());
    return pk::ref::borrow(PyTuple_GET_ITEM(scanned.get(), 0));
}

// line.decode("utf-8").lstrip("data: ") for a bytes line.
pk::ref decoded_payload(PyObject* line) {
    pk::ref text = pk::ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(line), PyBytes_GET_SIZE(line), "strict"));
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get()), i = 0;
    auto stripped = [](Py_UCS4 c) { return c == 'd' || c == 'a' || c == 't' || c == ':' || c == ' '; };
    while (i < n && stripped(PyUnicode_READ_CHAR(text.get(), i))) ++i;
    if (i == 0) return text;
    return pk::ref::steal(PyUnicode_Substring(text.get(), i, n));
}

// The chunk of one line, or null when the line carries none. A data line that is JSON on its own
// is a chunk at once. One that is not starts an event whose data lines are joined with "\n" up to
// the blank line that ends it, as the event-stream format defines.
pk::ref chunk_of_line(pk::genobj* g, PyObject* line) {
    if (!PyBytes_Check(line)) {
        // Not what the HTTP library yields; read it the generic way.
        pk::ref text = pk::call_method(line, n_decode, pk::str("utf-8"));
        pk::ref stripped = pk::call_method(text.get(), n_lstrip, pk::str("data: "));
        return json_loads(stripped.get());
    }
    std::string_view s(PyBytes_AS_STRING(line), static_cast<size_t>(PyBytes_GET_SIZE(line)));
    PyObject* event = g->local(s_event);
    if (s.empty()) {
        if (!event) return {};
        pk::ref lines = pk::ref::borrow(event);
        g->set_local(s_event, {});
        // An event of one line was that line alone: it fails exactly as decoding the line did.
        if (PyList_GET_SIZE(lines.get()) == 1) {
            pk::ref payload = decoded_payload(g->local(s_event_line));
            return json_loads(payload.get());
        }
        pk::ref joined = pk::ref::steal(PyUnicode_Join(pk::str("\n").get(), lines.get()));
        return json_loads(joined.get());
    }
    switch (classify(s)) {
        case line_kind::skip:
        case line_kind::end:
            return {};
        case line_kind::error_field: {
            pk::ref text = pk::ref::steal(PyUnicode_DecodeUTF8(s.data() + 6, static_cast<Py_ssize_t>(s.size() - 6), "replace"));
            pk::ref stripped = pk::call_method(text.get(), n_strip);
            raise_server_error(g->local(s_self), stripped.get());
        }
        case line_kind::data:
            if (event) {
                std::string_view payload = s.substr(5);
                if (!payload.empty() && payload[0] == ' ') payload.remove_prefix(1);
                pk::ref part = pk::ref::steal(PyUnicode_DecodeUTF8(payload.data(), static_cast<Py_ssize_t>(payload.size()), "strict"));
                pk::check(PyList_Append(event, part.get()));
                return {};
            }
            break;
        case line_kind::other:
            break;
    }
    pk::ref payload = decoded_payload(line);
    try {
        return json_loads(payload.get());
    } catch (pk::python_error&) {
        if (classify(s) != line_kind::data || !PyErr_ExceptionMatches(PyExc_ValueError)) throw;
    }
    // Possibly the first line of a multi-line event: keep it until the event ends. If it is not,
    // the joined event fails to decode when it ends and the error surfaces then.
    PyErr_Clear();
    std::string_view first = s.substr(5);
    if (!first.empty() && first[0] == ' ') first.remove_prefix(1);
    pk::ref part = pk::ref::steal(PyUnicode_DecodeUTF8(first.data(), static_cast<Py_ssize_t>(first.size()), "strict"));
    g->set_local(s_event, pk::new_list());
    g->set_local(s_event_line, pk::ref::borrow(line));
    pk::check(PyList_Append(g->local(s_event), part.get()));
    return {};
}

// The first choice of a chunk, or null for a chunk that carries none (usage, prompt filters):
// an empty or null "choices".
pk::ref choice_of(PyObject* self, PyObject* chunk) {
    check_server_error(self, chunk);
    pk::ref choices = pk::getitem(chunk, n_choices);
    if (choices.get() == Py_None || (PyList_Check(choices.get()) && PyList_GET_SIZE(choices.get()) == 0)) return {};
    return pk::getitem(choices.get(), pk::integer(0).get());
}

// A choice without "delta", or with a null one (content-filter annotations), is an empty fragment.
pk::ref delta_of(PyObject* choice) {
    pk::ref delta;
    if (PyDict_Check(choice)) {
        delta = pk::ref::borrow(PyDict_GetItemWithError(choice, n_delta));
        if (!delta && PyErr_Occurred()) throw pk::python_error{};
    } else {
        delta = pk::getitem(choice, n_delta);
    }
    if (!delta || delta.get() == Py_None) return pk::new_dict();
    return delta;
}

bool is_end_of_stream(PyObject* line) {
    if (!PyBytes_Check(line)) return false;
    std::string_view s(PyBytes_AS_STRING(line), static_cast<size_t>(PyBytes_GET_SIZE(line)));
    return classify(s) == line_kind::end;
}

// The reasoning pieces of this reply that came under "reasoning_content", kept for its tool round.
void keep_reasoning_piece(pk::genobj* g, PyObject* fragment) {
    pk::ref text = sent_reasoning(fragment);
    if (!text) return;
    if (!g->local(s_reasoning)) g->set_local(s_reasoning, pk::new_list());
    pk::check(PyList_Append(g->local(s_reasoning), text.get()));
}

// Those pieces joined (null when there were none), and forgotten by the reading.
pk::ref kept_reasoning(pk::genobj* g) {
    if (!g->local(s_reasoning)) return {};
    pk::ref pieces = pk::ref::borrow(g->local(s_reasoning));
    g->set_local(s_reasoning, {});
    return pk::ref::steal(PyUnicode_Join(n_empty, pieces.get()));
}

// def _stream_response(self, response) -> "Iterator[LLMResult]" (the generator's body). What lives
// across a yield is in a slot or a frame_ref, where the collector sees it (the line reader holds
// only bytes, which refer to nothing).
pk::body stream_body(pk::genobj* g) {
    PyObject* self = g->local(s_self);
    PyObject* response = g->local(s_response);
    bool already_add = false;
    bool failed = false;
    stage at = stage::reply;
    bool stopped = false;  // the _close flag ended the reading
    double deadline = NAN;
    try {
        refuse_if_ended(g);
        deadline = limits_of(response).deadline;
        body_reader body(response);
        g->set_local(s_lines, body.open(response));
        g->set_local(s_sock, body.hand_over_socket());
        line_reader lines;
        auto cancelled = [self] { return pk::truthy(private_attr(self, n_close).get()); };
        reply_figures figures(self);
        for (bool at_end = false; !at_end;) {
            pk::frame_ref line{g};
            {
                // Reading waits on the server: no other thread may be at work in this client.
                at = stage::elsewhere;
                turn_scope at_work(self);
                at = stage::reply;
                line = lines.next(body, g->local(s_lines), response, cancelled);
            }
            // What a cancelled turn leaves open is settled as the next turn would settle it: the
            // client's own unanswered user entry gets an empty answer, nothing else does.
            auto stop = [&] {
                pk::call_method(response, n_close_method);
                pk::setattr(self, n_close, Py_False);
                pk::call_method(self, n_reset);
                settle_last_turn(self, true);
                stopped = true;
            };
            if (!line && lines.cancelled()) {
                stop();
                break;
            }
            if (!line) {
                // A stream that ends inside a multi-line event still owes that event's chunk.
                if (!g->local(s_event)) break;
                line = pk::ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
                at_end = true;
            }
            // Cancellation is tested first, on every line that arrives.
            if (!at_end && pk::truthy(private_attr(self, n_close).get())) {
                stop();
                break;
            }
            if (is_end_of_stream(line.get())) break;
            pk::frame_ref chunk{g, chunk_of_line(g, line.get())};
            if (!chunk) continue;
            if (figures.see_chunk(self, chunk.get())) break;
            pk::frame_ref choice{g, choice_of(self, chunk.get())};
            if (!choice) continue;
            pk::frame_ref fragment{g, delta_of(choice.get())};
            pk::frame_ref delta{g, pk::call_method(self, n_message_process, fragment)};
            if (pk::truthy(pk::getitem(delta.get(), n_reasoning_content).get())) {
                keep_reasoning_piece(g, fragment.get());
                // A chunk with both texts is one reasoning piece; its answer text is an answer
                // all the same, recorded before the piece is handed out.
                pk::frame_ref content{g, pk::getitem(delta.get(), n_content)};
                if (pk::truthy(content.get())) {
                    add_assistant(self, content.get());
                    already_add = true;
                }
                pk::frame_ref status{g, status_of(n_reason)};
                pk::frame_ref piece{g, pk::call_kwargs(result_cls().get(), delta.get(), {pk::kw(n_status, status)})};
                pk::ref sent = co_yield piece;
                refuse_if_ended(g);
            } else if (pk::truthy(pk::getitem(delta.get(), n_content).get())) {
                pk::frame_ref content{g, pk::getitem(delta.get(), n_content)};
                add_assistant(self, content.get());
                already_add = true;
                pk::frame_ref status{g, status_of(n_answer)};
                pk::frame_ref piece{g, pk::call_kwargs(result_cls().get(), delta.get(), {pk::kw(n_status, status)})};
                pk::ref sent = co_yield piece;
                refuse_if_ended(g);
            }
            pk::ref finish = pk::call_method(choice.get(), n_get, n_finish_reason);
            if (finish.get() != Py_None && figures.finished(self, finish.get())) break;
        }

        // The reply is read: it lets go of its connection before a tool round and its follow-up
        // open another, so a long tool loop holds one connection at a time. Closing is not
        // enough once the body was read to its end: the connection then waits in the pool of the
        // one-call session that made it, which only the response keeps alive.
        pk::call_method(response, n_close_method);
        g->set_local(s_lines, {});
        g->set_local(s_sock, {});
        g->set_local(s_response, {});
        response = nullptr;
        pk::frame_ref pending{g, pk::getattr(self, n_tool_calls)};
        if (pk::truthy(pending.get())) {
            g->set_local(s_calls, pk::call_method(self, n_t_calls_beautify, pending));
            bool refused = at_tool_limit(self);
            if (!refused) {
                pk::frame_ref status{g, status_of(n_status_tool_calls)};
                pk::frame_ref piece{g, pk::call(result_cls(), pk::kw(n_tool_calls, g->local(s_calls)), pk::kw(n_status, status))};
                pk::ref sent = co_yield piece;
                refuse_if_ended(g);
            }
            pk::frame_ref beautify{g, pk::getattr(self, n_t_results_beautify)};
            pk::frame_ref messages{g};
            {
                at = stage::elsewhere;
                turn_scope at_work(self);
                at = refused ? stage::refused_tool_round : stage::tool_round;
                Py_ssize_t request_at = history_length(self);
                messages = pk::call_method(self, n_tool_calls_fn);
                pk::ref reasoning = kept_reasoning(g);
                keep_round_reasoning(self, request_at, reasoning.get());
                at = stage::reply;
            }
            pk::frame_ref results{g, pk::call(beautify, g->local(s_calls), messages)};
            pk::frame_ref status{g, status_of(n_status_tool_results)};
            pk::frame_ref piece{g, pk::call(result_cls(), pk::kw(n_tool_results, results), pk::kw(n_status, status))};
            {
                // A value sent in is ignored; it must not live on across the delegation below.
                pk::ref sent = co_yield piece;
                refuse_if_ended(g);
            }
            // The follow-up request is posted only now that the consumer asked for more. Its
            // reading runs inside this one's delegation, one level deeper on every piece.
            pk::check_room(tool_round_depth);
            pk::frame_ref follow_up{g};
            {
                // Refused because another thread is at work in the client: that failure is not this
                // reading's, and the other thread's tool-call state is left alone.
                at = stage::elsewhere;
                turn_scope at_work(self);
                at = stage::follow_up;
                turn_deadline clock(deadline);
                follow_up = pk::call_method(self, n_core_call);
            }
            pk::ref ignored = co_await pk::yield_from(follow_up.get());
            at = stage::reply;
        } else if (!already_add && !stopped) {
            // An answer with neither text nor tool calls is recorded as an empty text, as a whole
            // reply's is: the history then answers every user turn.
            add_assistant(self, n_empty);
            already_add = true;
        }
        pk::call_method(self, n_reset);
    } catch (pk::python_error&) {
        // A stream a newer turn ended writes nothing more: that turn owns the history now.
        if (!pk::error_is_exception() || g->local(s_ended)) throw;
        failed = true;
    }
    if (failed) {
        pk::ref exc = pk::fetch_error();
        report_failure(self, exc.get(), already_add, at);
        pk::raise_object(std::move(exc));
    }
    co_return pk::none();
}

pk::ref stream_response_impl(PyObject* const* a) {
    return pk::make_generator(pk::gen_kind::generator, stream_body, {a[0], a[1]}, n_stream_response,
                              n_stream_response_qual);
}

pk::genobj* as_stream(PyObject* o) {
    if (!o || Py_TYPE(o) != pk::generator_type()) return nullptr;
    auto* g = reinterpret_cast<pk::genobj*>(o);
    return g->qualname == n_stream_response_qual.get() ? g : nullptr;
}

}  // namespace

bool is_stream(PyObject* o) { return as_stream(o) != nullptr; }

bool stream_running(PyObject* stream) {
    for (pk::genobj* g = as_stream(stream); g; g = as_stream(g->delegate))
        if (g->running) return true;
    return false;
}

void end_stream(PyObject* stream) {
    // The stream and the follow-up streams it delegates to, outermost first.
    std::vector<pk::ref> chain;
    for (pk::genobj* g = as_stream(stream); g && !g->finished; g = as_stream(g->delegate))
        chain.push_back(pk::ref::borrow(reinterpret_cast<PyObject*>(g)));
    for (const pk::ref& link : chain) {
        auto* g = reinterpret_cast<pk::genobj*>(link.get());
        g->set_local(s_ended, pk::ref::borrow(Py_True));
        // Its connection goes now, not when the stream is collected.
        if (pk::ref response = pk::ref::borrow(g->local(s_response))) pk::call_method(response.get(), n_close_method);
    }
}

void remember_json(PyObject* module) {
    pk::ref json = pk::getattr(module, n_json);
    std_loads = pk::getattr(json.get(), n_loads).release();
    pk::ref decoder = pk::getattr(json.get(), n_default_decoder);
    std_decoder = decoder.new_ref();
    std_decode = Py_XNewRef(pk::compat::type_lookup(Py_TYPE(decoder.get()), n_decode));
    std_raw_decode = Py_XNewRef(pk::compat::type_lookup(Py_TYPE(decoder.get()), n_raw_decode));
    std_scan_once = Py_XNewRef(own_attr(decoder.get(), n_scan_once));
    // A decoder without these pieces is not one the fast path knows: every line then goes through
    // json.loads.
    if (!std_decode || !std_raw_decode || !std_scan_once) Py_CLEAR(std_loads);
    std_decode_error = pk::getattr(json.get(), n_decode_error).release();
}

const pk::fn_def response_def{
    .name = "_response", .qualname = "LLModal._response", .impl = response_impl,
    .params = {{"self"}, {"response", "requests.Response"}}, .returns = "LLMResult",
    .doc = "Read a whole JSON reply: record its answer, run the tool round it asks for and post the\n"
              "follow-up; return the result.",
};
const pk::fn_def stream_response_def{
    .name = "_stream_response", .qualname = "LLModal._stream_response", .impl = stream_response_impl,
    .params = {{"self"}, {"response", "requests.Response"}}, .returns = "Iterator[LLMResult]",
    .doc = "Read a streamed reply, yielding LLMResult pieces as they arrive, through its tool rounds\n"
              "and follow-up requests.",
    .kind = pk::fn_kind::generator,
};

}  // namespace pkmodal
