// The conversation history of LLModal: request forms of the entries, the newest entry of a role,
// adding texts (retry alternatives, streamed pieces, pending images and video) and reading the
// two texts of a reply message.
#include "modal/parts.hpp"

#include <algorithm>
#include <vector>

namespace pkmodal {
namespace {

pk::name n_user{"user"}, n_assistant{"assistant"}, n_images{"images"}, n_video{"video"}, n_retry{"retry"},
    n_latest{"latest"}, n_contents{"contents"}, n_append{"append"}, n_clear{"clear"},
    n_message_latest{"message_latest"}, n_add_tool_calls{"_add_tool_calls"}, n_type{"type"},
    n_image_url{"image_url"}, n_text{"text"}, n_data_prefix{"data:image;base64,"}, n_empty{""},
    n_tool{"tool"}, n_superseded{"superseded"}, n_tool_call_id{"tool_call_id"}, n_id{"id"},
    n_cancelled{"The tool call was cancelled before it answered."}, n_reasoning{"reasoning"},
    n_tool_call_reasoning{"_tool_call_reasoning"}, n_thinking{"thinking"};

// `a == b` as a truth value. Identity counts as equality, as in CPython's own containers: a streamed
// piece compares the newest entry with itself, which would otherwise run pydantic's field-by-field
// __eq__ for every piece.
bool equal(PyObject* a, PyObject* b) { return pk::check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

// `value == MessageRole.<member>`, the class read from the module namespace on each test.
bool is_role(PyObject* value, const pk::name& member) {
    pk::ref wanted = role_of(member);
    return equal(value, wanted.get());
}

// Walks `messages` newest first and returns the first entry for which `pick(entry)` holds, with
// its distance from the end. An exact list is walked in place: a reversed copy per call would make
// every streamed piece cost as much as the history is long. Anything else is walked over
// `messages[::-1]`, as written.
template <class Pick>
pk::ref find_newest(PyObject* messages, Pick&& pick, Py_ssize_t* distance) {
    if (PyList_CheckExact(messages)) {
        Py_ssize_t i = 0;
        for (Py_ssize_t at = PyList_GET_SIZE(messages) - 1; at >= 0; --at, ++i) {
            // A comparison may run Python code that shrinks the list; indices past its end are gone.
            if (at >= PyList_GET_SIZE(messages)) continue;
            pk::ref entry = pk::ref::borrow(PyList_GET_ITEM(messages, at));
            if (pick(entry.get())) {
                *distance = i;
                return entry;
            }
        }
        return {};
    }
    pk::ref step = pk::ref::steal(PySlice_New(nullptr, nullptr, pk::integer(-1).get()));
    pk::ref reversed = pk::getitem(messages, step.get());
    pk::ref it = pk::ref::steal(PyObject_GetIter(reversed.get()));
    Py_ssize_t i = 0;
    while (pk::ref entry = pk::ref::steal_or_null(PyIter_Next(it.get()))) {
        if (pick(entry.get())) {
            *distance = i;
            return entry;
        }
        ++i;
    }
    if (PyErr_Occurred()) throw pk::python_error{};
    return {};
}

// "data:image;base64," followed by the element as an f-string field formats it.
pk::ref data_url(PyObject* element) {
    pk::ref text = pk::fstring_field(element);
    return pk::ref::steal(PyUnicode_Concat(n_data_prefix, text.get()));
}

// A content part {"type": kind, kind: value}.
pk::ref part(const pk::name& kind, PyObject* value) {
    pk::ref d = pk::new_dict();
    pk::check(PyDict_SetItem(d.get(), n_type, kind));
    pk::check(PyDict_SetItem(d.get(), kind, value));
    return d;
}

void for_each(PyObject* iterable, auto&& fn) {
    pk::ref it = pk::ref::steal(PyObject_GetIter(iterable));
    while (pk::ref item = pk::ref::steal_or_null(PyIter_Next(it.get()))) fn(item.get());
    if (PyErr_Occurred()) throw pk::python_error{};
}

// self.messages.append(Message(role=role, contents=[alternative]))
void append_entry(PyObject* self, PyObject* role, PyObject* alternative) {
    pk::ref messages = pk::getattr(self, n_messages);
    pk::ref append = pk::getattr(messages.get(), n_append);
    pk::ref message_cls = pk::global(globals(), n_Message);
    pk::ref contents = pk::new_list(1);
    PyList_SET_ITEM(contents.get(), 0, Py_NewRef(alternative));
    pk::ref message = pk::call(message_cls, pk::kw(n_role, role), pk::kw(n_contents, contents));
    pk::call(append, message);
}

// message.contents.append(alternative)
void add_alternative(PyObject* message, PyObject* alternative) {
    pk::ref contents = pk::getattr(message, n_contents);
    pk::call_method(contents.get(), n_append, alternative);
}

bool is_superseded(PyObject* entry) {
    pk::ref flag = pk::getattr_opt(entry, n_superseded);
    return flag && pk::truthy(flag.get());
}

// An entry of a tool exchange: an assistant request for tools, or a tool's answer.
bool is_tool_exchange(PyObject* entry) {
    pk::ref calls = pk::getattr_opt(entry, n_tool_calls);
    if (calls && pk::truthy(calls.get())) return true;
    pk::ref tool = pk::getattr_opt(pk::global(globals(), n_MessageRole).get(), n_tool);
    if (!tool) return false;
    pk::ref role = pk::getattr(entry, n_role);
    return equal(role.get(), tool.get());
}

// Where the answer to the newest user entry begins: the index just past that entry, or 0 when
// the history has no user entry.
Py_ssize_t answer_start(PyObject* messages) {
    Py_ssize_t distance = 0;
    pk::ref user = find_newest(
        messages,
        [](PyObject* entry) {
            pk::ref role = pk::getattr(entry, n_role);
            return is_role(role.get(), n_user);
        },
        &distance);
    Py_ssize_t size = pk::check(PyObject_Length(messages));
    return user ? std::max<Py_ssize_t>(size - distance, 0) : 0;
}

// Sets the superseded flag of every entry of `entries` to `flag`, or of none. Setting a flag runs
// the entry's own Python code, which an interrupt may end at any point; a tool exchange of which
// only a part is sent is a conversation no service accepts, so a failed run is undone before the
// failure goes on (an entry whose setting failed is set back too: it may have been written).
void set_superseded(PyObject* entries, bool flag) {
    Py_ssize_t done = 0;
    try {
        for (; done < PyList_GET_SIZE(entries); ++done)
            pk::setattr(PyList_GET_ITEM(entries, done), n_superseded, flag ? Py_True : Py_False);
    } catch (pk::python_error&) {
        pk::ref exc = pk::fetch_error();
        {
            handling scope(exc.get());
            PyObject* back = flag ? Py_False : Py_True;
            for (Py_ssize_t at = 0; at <= done && at < PyList_GET_SIZE(entries); ++at) {
                // One failure is already on its way out: a second interrupt landing here is
                // dropped so that the undo completes (tried again, as a signal fires once).
                for (int attempt = 0; attempt < 3; ++attempt) {
                    if (PyObject_SetAttr(PyList_GET_ITEM(entries, at), n_superseded, back) == 0) break;
                    PyErr_Clear();
                }
            }
        }
        pk::raise_object(std::move(exc));
    }
}

// Marks every current entry from `start` on but `keep` superseded, all of them or none; returns
// the list of them.
pk::ref supersede_from(PyObject* messages, Py_ssize_t start, PyObject* keep = nullptr) {
    pk::ref marked = pk::new_list();
    for (Py_ssize_t at = start; at < pk::check(PyObject_Length(messages)); ++at) {
        pk::ref entry = pk::ref::steal(PySequence_GetItem(messages, at));
        if (entry.get() == keep || is_superseded(entry.get())) continue;
        pk::check(PyList_Append(marked.get(), entry.get()));
    }
    set_superseded(marked.get(), true);
    return marked;
}

// The first assistant text of a retried turn. An earlier answer of plain text after the newest
// user entry keeps it as a further alternative, as for any retry. An earlier answer that used
// tools cannot: its tool calls and results belong to the text they led to. So it is superseded
// whole (kept in the history, no longer sent) and the new text starts an entry of its own, as
// it does when that user entry has no answer yet.
void add_retried_answer(PyObject* self, PyObject* message, PyObject* role, PyObject* content) {
    pk::ref messages = pk::getattr(self, n_messages);
    Py_ssize_t start = answer_start(messages.get());
    bool in_answer = false, used_tools = false;
    for (Py_ssize_t at = start; at < pk::check(PyObject_Length(messages.get())); ++at) {
        pk::ref entry = pk::ref::steal(PySequence_GetItem(messages.get(), at));
        in_answer = in_answer || entry.get() == message;
        used_tools = used_tools || is_tool_exchange(entry.get());
    }
    if (in_answer && !used_tools) {
        add_alternative(message, content);
        return;
    }
    supersede_from(messages.get(), start);
    append_entry(self, role, content);
}

// self.messages[-1] == message
// `contents[-1] += text` for a plain list ending in a plain str that fits `text`'s characters:
// the text is extended where it lies when the list holds its only reference (as CPython extends a
// local in `s += t`), so a streamed answer costs linear time instead of a copy of the whole answer
// per piece. Returns false, having changed nothing, when that does not apply.
bool append_in_place(PyObject* contents, PyObject* text) {
    if (!PyList_CheckExact(contents) || !PyUnicode_CheckExact(text) || PyList_GET_SIZE(contents) == 0) return false;
    PyObject** slot = &reinterpret_cast<PyListObject*>(contents)->ob_item[PyList_GET_SIZE(contents) - 1];
    PyObject* current = *slot;
    if (!PyUnicode_CheckExact(current) || Py_REFCNT(current) != 1 ||
        PyUnicode_MAX_CHAR_VALUE(text) > PyUnicode_MAX_CHAR_VALUE(current))
        return false;
    Py_ssize_t at = PyUnicode_GET_LENGTH(current), extra = PyUnicode_GET_LENGTH(text);
    if (extra == 0) return true;
    // Resizes in place when the string may be modified (sole owner, no cached hash, not interned),
    // else replaces the slot with a larger copy; on failure the slot still holds the old text.
    pk::check(PyUnicode_Resize(slot, at + extra));
    pk::check(static_cast<int>(PyUnicode_CopyCharacters(*slot, at, text, 0, extra)));
    return true;
}

bool ends_history(PyObject* self, PyObject* message) {
    pk::ref messages = pk::getattr(self, n_messages);
    pk::ref last;
    if (PyList_CheckExact(messages.get()) && PyList_GET_SIZE(messages.get()) > 0)
        last = pk::ref::borrow(PyList_GET_ITEM(messages.get(), PyList_GET_SIZE(messages.get()) - 1));
    else
        last = pk::getitem(messages.get(), pk::integer(-1).get());
    return equal(last.get(), message);
}

// self._tool_call_reasoning: (tool-call request, reasoning text) pairs of the running cycle, or
// null when the client has no such list.
pk::ref round_reasoning(PyObject* self) {
    pk::ref kept;
    try {
        kept = private_attr(self, n_tool_call_reasoning);
    } catch (pk::python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw;
        PyErr_Clear();
        return {};
    }
    return PyList_Check(kept.get()) ? kept : pk::ref{};
}

// The reasoning kept with history entry `entry`, or null.
pk::ref reasoning_of(PyObject* kept, PyObject* entry) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(kept); ++i) {
        PyObject* pair = PyList_GET_ITEM(kept, i);
        if (PyTuple_Check(pair) && PyTuple_GET_SIZE(pair) == 2 && PyTuple_GET_ITEM(pair, 0) == entry)
            return pk::ref::borrow(PyTuple_GET_ITEM(pair, 1));
    }
    return {};
}

// What a request sends for an entry whose newest version is `latest`: its images and video in
// the form servers take, and the reasoning kept with it in this cycle. `latest` itself, which
// may share its parts with the history, is never changed.
pk::ref request_form(pk::ref latest, PyObject* entry, media_form& media, PyObject* kept) {
    if (!PyDict_Check(latest.get())) return latest;
    pk::ref content = pk::ref::borrow(PyDict_GetItemWithError(latest.get(), n_content));
    if (!content && PyErr_Occurred()) throw pk::python_error{};
    pk::ref wire = content && PyList_Check(content.get()) ? media.content(content.get()) : pk::ref{};
    pk::ref reasoning = kept && PyList_GET_SIZE(kept) ? reasoning_of(kept, entry) : pk::ref{};
    if (!wire && !reasoning) return latest;
    pk::ref form = pk::ref::steal(PyDict_Copy(latest.get()));
    if (wire) pk::check(PyDict_SetItem(form.get(), n_content, wire.get()));
    if (reasoning) pk::check(PyDict_SetItem(form.get(), n_reasoning_content, reasoning.get()));
    return form;
}

// @property def messages_latest(self) -> list[dict[str, Any]]: the request form of every entry but
// the superseded ones; in retry mode only up to and including the newest user entry.
pk::ref messages_latest(PyObject* const* a) {
    PyObject* self = a[0];
    pk::ref out = pk::new_list();
    std::vector<Py_ssize_t> positions;  // where each request form's entry stands in the history
    Py_ssize_t size = 0;
    {
        media_form media(self);
        pk::ref kept = round_reasoning(self);
        pk::ref messages = pk::getattr(self, n_messages);
        for_each(messages.get(), [&](PyObject* entry) {
            Py_ssize_t at = size++;
            if (is_superseded(entry)) return;
            pk::ref latest = pk::getattr(entry, n_latest);
            latest = request_form(std::move(latest), entry, media, kept.get());
            pk::check(PyList_Append(out.get(), latest.get()));
            positions.push_back(at);
        });
    }
    pk::ref retry = pk::getattr(self, n_retry);
    if (!pk::truthy(retry.get())) return out;

    pk::ref messages = pk::getattr(self, n_messages);
    Py_ssize_t i = 0;
    pk::ref user = find_newest(
        messages.get(),
        [](PyObject* entry) {
            pk::ref role = pk::getattr(entry, n_role);
            return is_role(role.get(), n_user);
        },
        &i);
    if (!user) return out;
    Py_ssize_t keep = 0;
    while (keep < static_cast<Py_ssize_t>(positions.size()) && positions[keep] < size - i) ++keep;
    return pk::ref::steal(PySequence_GetSlice(out.get(), 0, keep));
}

// def message_latest(self, role: MessageRole) -> Message | None: the newest true entry of `role`.
pk::ref message_latest(PyObject* const* a) {
    PyObject *self = a[0], *role = a[1];
    pk::ref messages = pk::getattr(self, n_messages);
    Py_ssize_t i = 0;
    pk::ref found = find_newest(
        messages.get(),
        [role](PyObject* entry) {
            pk::ref entry_role = pk::getattr(entry, n_role);
            return equal(entry_role.get(), role) && pk::truthy(entry);
        },
        &i);
    return found ? found : pk::none();
}

// def add_message(self, role: MessageRole, content: str) -> None
pk::ref add_message(PyObject* const* a) {
    PyObject *self = a[0], *role = a[1], *content = a[2];
    pk::check_exact(content, &PyUnicode_Type, "content");
    pk::ref latest_fn = pk::getattr(self, n_message_latest);
    pk::ref message = pk::call(latest_fn, pk::kw(n_role, role));
    bool have_message = message.get() != Py_None;
    auto flag = [self](const pk::name& field) {
        pk::ref v = pk::getattr(self, field);
        return pk::truthy(v.get());
    };

    // Pending media travel with the next user text as content parts, and are consumed by it.
    if (is_role(role, n_user) && (flag(n_images) || flag(n_video))) {
        pk::ref parts = pk::new_list();
        {
            pk::ref images = pk::getattr(self, n_images);
            for_each(images.get(), [&](PyObject* image) {
                pk::ref url = data_url(image);
                pk::ref p = part(n_image_url, url.get());
                pk::check(PyList_Append(parts.get(), p.get()));
            });
            pk::ref again = pk::getattr(self, n_images);
            pk::call_method(again.get(), n_clear);
        }
        if (flag(n_video)) {
            pk::ref frames = pk::new_list();
            pk::ref video = pk::getattr(self, n_video);
            for_each(video.get(), [&](PyObject* frame) {
                pk::ref url = data_url(frame);
                pk::check(PyList_Append(frames.get(), url.get()));
            });
            pk::ref p = part(n_video, frames.get());
            pk::check(PyList_Append(parts.get(), p.get()));
            pk::ref again = pk::getattr(self, n_video);
            pk::call_method(again.get(), n_clear);
        }
        if (PyUnicode_GET_LENGTH(content) != 0) {
            pk::ref p = part(n_text, content);
            pk::check(PyList_Append(parts.get(), p.get()));
        }
        if (flag(n_retry) && have_message)
            add_alternative(message.get(), parts.get());
        else
            append_entry(self, role, parts.get());
        return pk::none();
    }

    if (is_role(role, n_user) && flag(n_retry) && have_message) {
        add_alternative(message.get(), content);
    } else if (is_role(role, n_assistant) && flag(n_retry) && have_message) {
        add_retried_answer(self, message.get(), role, content);
        pk::setattr(self, n_retry, Py_False);
    } else if (is_role(role, n_assistant) && have_message && ends_history(self, message.get())) {
        // A streamed piece joins the text of the assistant entry that ends the history.
        pk::ref contents = pk::getattr(message.get(), n_contents);
        if (!append_in_place(contents.get(), content)) {
            pk::ref minus_one = pk::integer(-1);
            pk::ref current = pk::getitem(contents.get(), minus_one.get());
            pk::ref joined = pk::ref::steal(PyNumber_InPlaceAdd(current.get(), content));
            current = nullptr;
            pk::setitem(contents.get(), minus_one.get(), joined.get());
        }
    } else {
        append_entry(self, role, content);
    }
    return pk::none();
}

// mapping[key] of an exact dict as a strong reference, or null when absent.
pk::ref dict_item(PyObject* mapping, PyObject* key) {
    pk::ref v = pk::ref::borrow(PyDict_GetItemWithError(mapping, key));
    if (!v && PyErr_Occurred()) throw pk::python_error{};
    return v;
}

bool is_empty_text(PyObject* v) { return PyUnicode_Check(v) && PyUnicode_GET_LENGTH(v) == 0; }

bool is_chunk(PyObject* chunk, const char* kind) {
    if (!PyDict_Check(chunk)) return false;
    pk::ref type = dict_item(chunk, n_type);
    return type && PyUnicode_Check(type.get()) && PyUnicode_CompareWithASCIIString(type.get(), kind) == 0;
}

// Appends the text of a {"type": "text", "text": ...} chunk to `texts`.
void add_text_chunk(PyObject* chunk, PyObject* texts) {
    if (!is_chunk(chunk, "text")) return;
    pk::ref text = dict_item(chunk, n_text);
    if (text && PyUnicode_Check(text.get())) pk::check(PyList_Append(texts, text.get()));
}

pk::ref joined(PyObject* texts) { return pk::ref::steal(PyUnicode_Join(n_empty, texts)); }

// A content that is a list of chunks (as Mistral sends): the text chunks, joined, are the answer;
// the text inside thinking chunks is reasoning. Chunks of any other kind are passed over.
void read_chunks(PyObject* content, pk::ref& answer, pk::ref& thinking) {
    pk::ref chunks = pk::ref::steal(PySequence_List(content));
    pk::ref texts = pk::new_list(), thoughts = pk::new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i) {
        PyObject* chunk = PyList_GET_ITEM(chunks.get(), i);
        if (!is_chunk(chunk, "thinking")) {
            add_text_chunk(chunk, texts.get());
            continue;
        }
        pk::ref inner = dict_item(chunk, n_thinking);
        if (inner && PyUnicode_Check(inner.get())) {
            pk::check(PyList_Append(thoughts.get(), inner.get()));
        } else if (inner && PyList_Check(inner.get())) {
            pk::ref parts = pk::ref::steal(PySequence_List(inner.get()));
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(parts.get()); ++j)
                add_text_chunk(PyList_GET_ITEM(parts.get(), j), thoughts.get());
        }
    }
    answer = joined(texts.get());
    thinking = PyList_GET_SIZE(thoughts.get()) ? joined(thoughts.get()) : pk::ref{};
}

// def _message_process(self, message: dict[str, Any]) -> dict[str, str]: the reasoning and answer
// texts of a reply message or streamed delta ("" for missing or null), after its tool calls are
// taken. Reasoning is "reasoning_content", else "reasoning" (the key of vLLM, Ollama, OpenRouter
// and others); a content list gives its text chunks as the answer and its thinking as reasoning.
pk::ref message_process(PyObject* const* a) {
    PyObject *self = a[0], *message = a[1];
    pk::check_exact(message, &PyDict_Type, "message");
    pk::call_method(self, n_add_tool_calls, message);
    pk::ref reasoning = dict_item(message, n_reasoning_content);
    if (!reasoning || reasoning.get() == Py_None || is_empty_text(reasoning.get())) {
        pk::ref other = dict_item(message, n_reasoning);
        if (other && PyUnicode_Check(other.get()) && PyUnicode_GET_LENGTH(other.get()) != 0) reasoning = std::move(other);
    }
    pk::ref content = dict_item(message, n_content);
    if (content && PyList_Check(content.get())) {
        pk::ref answer, thinking;
        read_chunks(content.get(), answer, thinking);
        content = std::move(answer);
        if (thinking) {
            bool has_text = reasoning && PyUnicode_Check(reasoning.get()) && PyUnicode_GET_LENGTH(reasoning.get()) != 0;
            reasoning = has_text ? pk::ref::steal(PyUnicode_Concat(reasoning.get(), thinking.get())) : std::move(thinking);
        }
    }
    pk::ref out = pk::new_dict();
    pk::check(PyDict_SetItem(out.get(), n_reasoning_content,
                             reasoning && reasoning.get() != Py_None ? reasoning.get() : n_empty.get()));
    pk::check(PyDict_SetItem(out.get(), n_content, content && content.get() != Py_None ? content.get() : n_empty.get()));
    return out;
}

pk::name n_add_message{"add_message"};

}  // namespace

pk::ref role_of(const pk::name& member) {
    pk::ref cls = pk::global(globals(), n_MessageRole);
    return pk::getattr(cls.get(), member);
}

pk::ref supersede_answer(PyObject* self, PyObject* keep) {
    pk::ref messages = pk::getattr(self, n_messages);
    return supersede_from(messages.get(), answer_start(messages.get()), keep);
}

void restore_answer(PyObject* marked) { set_superseded(marked, false); }

pk::ref newest_user_entry(PyObject* messages) {
    Py_ssize_t distance = 0;
    return find_newest(
        messages,
        [](PyObject* entry) {
            pk::ref role = pk::getattr(entry, n_role);
            return is_role(role.get(), n_user);
        },
        &distance);
}

void settle_last_turn(PyObject* self, bool user_text_follows) {
    pk::ref messages = pk::getattr(self, n_messages);
    PyObject* list = messages.get();
    if (!PyList_CheckExact(list)) return;
    pk::ref tool = pk::getattr_opt(pk::global(globals(), n_MessageRole).get(), n_tool);
    Py_ssize_t start = answer_start(list);
    bool answered = false;
    for (Py_ssize_t at = start; at < PyList_GET_SIZE(list); ++at) {
        pk::ref entry = pk::ref::borrow(PyList_GET_ITEM(list, at));
        if (is_superseded(entry.get())) continue;
        answered = true;
        pk::ref calls = pk::getattr_opt(entry.get(), n_tool_calls);
        if (!tool || !calls || !PyList_Check(calls.get()) || PyList_GET_SIZE(calls.get()) == 0) continue;
        // Only a round this client ran is its to settle: a request the caller added goes as built.
        if (!is_own_tool_request(self, entry.get())) continue;
        // The tool answers that follow the request, then one for each call they leave out.
        pk::ref ids = pk::ref::steal(PySet_New(nullptr));
        Py_ssize_t end = at + 1;
        for (; end < PyList_GET_SIZE(list); ++end) {
            pk::ref next = pk::ref::borrow(PyList_GET_ITEM(list, end));
            pk::ref role = pk::getattr(next.get(), n_role);
            if (!equal(role.get(), tool.get())) break;
            pk::ref id = pk::getattr_opt(next.get(), n_tool_call_id);
            if (id && id.get() != Py_None) pk::check(PySet_Add(ids.get(), id.get()));
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(calls.get()); ++i) {
            pk::ref call = pk::ref::borrow(PyList_GET_ITEM(calls.get(), i));
            if (!PyDict_Check(call.get())) continue;
            pk::ref id = pk::ref::borrow(PyDict_GetItemWithError(call.get(), n_id));
            if (!id && PyErr_Occurred()) throw pk::python_error{};
            if (!id || id.get() == Py_None) continue;
            pk::ref text = pk::str_of(id.get());
            if (pk::check(PySet_Contains(ids.get(), text.get()))) continue;
            pk::ref contents = pk::new_list(1);
            PyList_SET_ITEM(contents.get(), 0, Py_NewRef(n_cancelled.get()));
            pk::ref message_cls = pk::global(globals(), n_Message);
            pk::ref answer = pk::call(message_cls, pk::kw(n_role, tool), pk::kw(n_contents, contents),
                                      pk::kw(n_tool_call_id, text));
            pk::check(PyList_Insert(list, std::min(end, PyList_GET_SIZE(list)), answer.get()));
            pk::check(PySet_Add(ids.get(), text.get()));
            ++end;
        }
        at = end - 1;
    }
    // Only the user entry of this client's own request, and only when nothing answers it.
    if (user_text_follows && start > 0 && !answered &&
        is_own_user_entry(self, PyList_GET_ITEM(list, start - 1))) {
        pk::ref assistant = role_of(n_assistant);
        append_entry(self, assistant.get(), n_empty);
    }
}

Py_ssize_t history_length(PyObject* self) {
    pk::ref messages = pk::getattr(self, n_messages);
    return PyList_Check(messages.get()) ? PyList_GET_SIZE(messages.get()) : -1;
}

void keep_round_reasoning(PyObject* self, Py_ssize_t at, PyObject* reasoning) {
    if (!reasoning || at < 0 || !PyUnicode_Check(reasoning) || PyUnicode_GET_LENGTH(reasoning) == 0) return;
    pk::ref messages = pk::getattr(self, n_messages);
    if (!PyList_Check(messages.get()) || at >= PyList_GET_SIZE(messages.get())) return;
    pk::ref request = pk::ref::borrow(PyList_GET_ITEM(messages.get(), at));
    // Only the request the round appended: an assistant entry that carries tool calls.
    pk::ref calls = pk::getattr_opt(request.get(), n_tool_calls);
    if (!calls || !pk::truthy(calls.get())) return;
    pk::ref role = pk::getattr(request.get(), n_role);
    if (!is_role(role.get(), n_assistant)) return;
    pk::ref kept = round_reasoning(self);
    if (!kept) return;
    pk::ref pair = pk::tuple({request.get(), reasoning});
    pk::check(PyList_Append(kept.get(), pair.get()));
}

void forget_round_reasoning(PyObject* self) {
    pk::ref kept = round_reasoning(self);
    if (kept && PyList_GET_SIZE(kept.get()) != 0)
        pk::check(PyList_SetSlice(kept.get(), 0, PyList_GET_SIZE(kept.get()), nullptr));
}

void add_message_as(PyObject* self, const pk::name& member, PyObject* content, const pk::name* field) {
    pk::ref fn = pk::getattr(self, n_add_message);
    pk::ref role = role_of(member);
    pk::ref text = field ? pk::getattr(self, *field) : pk::ref::borrow(content);
    pk::call(fn, pk::kw(n_role, role), pk::kw(n_content, text));
}

const pk::fn_def messages_latest_def{.name = "messages_latest", .qualname = "LLModal.messages_latest",
                                     .impl = messages_latest, .params = {{"self"}},
                                     .returns = "list[dict[str, Any]]",
    .doc = "The history as it is sent: the chosen version of each message, as chat-completions dicts."};
const pk::fn_def message_latest_def{.name = "message_latest", .qualname = "LLModal.message_latest",
                                    .impl = message_latest, .params = {{"self"}, {"role", "MessageRole"}},
                                    .returns = "Message | None",
    .doc = "Return the newest message of the given role in the history, or None."};
const pk::fn_def add_message_def{.name = "add_message", .qualname = "LLModal.add_message", .impl = add_message,
                                 .params = {{"self"}, {"role", "MessageRole"}, {"content", "str"}},
                                 .returns = "None",
    .doc = "Append a message of the given role to the history, or in retry mode an alternative to the\n"
              "newest one; a user message takes the pending images and video."};
const pk::fn_def message_process_def{.name = "_message_process", .qualname = "LLModal._message_process",
                                     .impl = message_process, .params = {{"self"}, {"message", "dict[str, Any]"}},
                                     .returns = "dict[str, str]",
    .doc = "Take the reasoning text, answer text and tool calls out of a reply message or streamed\n"
              "fragment; return the two texts."};

}  // namespace pkmodal
