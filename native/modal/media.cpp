// Images and video frames of a request in the form chat-completions servers take: each image an
// object {"url": data URL} whose MIME type is sniffed from the data, video as one such image per
// frame or, where the configuration asks for it, as one frame-list part.
#include "modal/parts.hpp"

#include <string>
#include <string_view>

namespace pkmodal {
namespace {

pk::name n_type{"type"}, n_image_url{"image_url"}, n_video{"video"}, n_url{"url"}, n_section{"section"},
    n_has_option{"has_option"}, n_video_frame_list{"video_frame_list"}, n_strip{"strip"}, n_lower{"lower"};

// How the history stores a medium: this prefix, then the caller's text (base64 data).
constexpr std::string_view stored_prefix = "data:image;base64,";

int base64_value(Py_UCS4 c) {
    if (c >= 'A' && c <= 'Z') return static_cast<int>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<int>(c - 'a') + 26;
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0') + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

// Up to `want` bytes decoded from the base64 text starting at `at`: whitespace is passed over,
// decoding stops at padding or at the first character outside the alphabet.
std::string leading_bytes(PyObject* text, Py_ssize_t at, size_t want) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (; at < n && out.size() < want; ++at) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text, at);
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        int v = base64_value(c);
        if (v < 0) break;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

// The image type of data by its signature; JPEG, the commonest, when none is recognised.
const char* sniff_mime(std::string_view head) {
    auto starts = [&](std::string_view sig) { return head.substr(0, sig.size()) == sig; };
    if (starts(std::string_view("\x89PNG\r\n\x1a\n", 8))) return "image/png";
    if (starts("\xff\xd8\xff")) return "image/jpeg";
    if (starts("GIF87a") || starts("GIF89a")) return "image/gif";
    if (starts("RIFF") && head.size() >= 12 && head.substr(8, 4) == "WEBP") return "image/webp";
    return "image/jpeg";
}

bool text_starts_with(PyObject* text, Py_ssize_t at, std::string_view prefix) {
    if (PyUnicode_GET_LENGTH(text) - at < static_cast<Py_ssize_t>(prefix.size())) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (PyUnicode_READ_CHAR(text, at + static_cast<Py_ssize_t>(i)) != static_cast<unsigned char>(prefix[i])) return false;
    return true;
}

// The URL to send for a stored medium: base64 data gets its sniffed MIME type; a caller's text
// that is already a URL (a data URL with its own type, or an http(s) address) is sent as it is.
pk::ref wire_url(PyObject* stored) {
    Py_ssize_t skip = static_cast<Py_ssize_t>(stored_prefix.size());
    if (!text_starts_with(stored, 0, stored_prefix)) return pk::ref::borrow(stored);
    if (text_starts_with(stored, skip, "data:") || text_starts_with(stored, skip, "http://") ||
        text_starts_with(stored, skip, "https://"))
        return pk::ref::steal(PyUnicode_Substring(stored, skip, PyUnicode_GET_LENGTH(stored)));
    const char* mime = sniff_mime(leading_bytes(stored, skip, 12));
    pk::ref data = pk::ref::steal(PyUnicode_Substring(stored, skip, PyUnicode_GET_LENGTH(stored)));
    return pk::ref::steal(PyUnicode_FromFormat("data:%s;base64,%U", mime, data.get()));
}

// {"type": "image_url", "image_url": {"url": url}}
pk::ref image_part(PyObject* url) {
    pk::ref inner = pk::new_dict();
    pk::check(PyDict_SetItem(inner.get(), n_url, url));
    pk::ref part = pk::new_dict();
    pk::check(PyDict_SetItem(part.get(), n_type, n_image_url));
    pk::check(PyDict_SetItem(part.get(), n_image_url, inner.get()));
    return part;
}

// part[key] of an exact dict as a strong reference, or null.
pk::ref item(PyObject* part, PyObject* key) {
    pk::ref v = pk::ref::borrow(PyDict_GetItemWithError(part, key));
    if (!v && PyErr_Occurred()) throw pk::python_error{};
    return v;
}

bool is_kind(PyObject* part, const char* kind) {
    pk::ref type = item(part, n_type);
    return type && PyUnicode_Check(type.get()) && PyUnicode_CompareWithASCIIString(type.get(), kind) == 0;
}

// A list whose items are all str, else false.
bool all_texts(PyObject* list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (!PyUnicode_Check(PyList_GET_ITEM(list, i))) return false;
    return true;
}

// A configured truth value: a bool, a number, or a text such as true/false, yes/no, on/off, 1/0.
bool truth_option(PyObject* self, PyObject* value, const pk::name& option) {
    if (PyBool_Check(value) || PyLong_Check(value)) return pk::truthy(value);
    if (PyUnicode_Check(value)) {
        pk::ref stripped = pk::call_method(value, n_strip);
        pk::ref text = pk::call_method(stripped.get(), n_lower);
        for (const char* yes : {"1", "true", "yes", "on"})
            if (PyUnicode_CompareWithASCIIString(text.get(), yes) == 0) return true;
        for (const char* no : {"", "0", "false", "no", "off"})
            if (PyUnicode_CompareWithASCIIString(text.get(), no) == 0) return false;
    }
    pk::ref section = pk::getattr(self, n_section);
    pk::raise(PyExc_ValueError, "the %s of section %R must be true or false, not %R", option.text(), section.get(),
              value);
}

}  // namespace

bool media_form::frame_list() {
    if (frame_list_ < 0) {
        pk::ref configurator = pk::global(globals(), n_Configurator);
        pk::ref section = pk::getattr(self_, n_section);
        pk::ref has = pk::call_method(configurator.get(), n_has_option, section, n_video_frame_list);
        frame_list_ = 0;
        if (pk::truthy(has.get())) {
            pk::ref value = pk::call_method(configurator.get(), n_get, section, n_video_frame_list);
            frame_list_ = truth_option(self_, value.get(), n_video_frame_list) ? 1 : 0;
        }
    }
    return frame_list_ == 1;
}

pk::ref media_form::content(PyObject* parts) {
    // A snapshot: frame_list() asks the configuration, which may run any code.
    pk::ref all = pk::ref::steal(PySequence_List(parts));
    pk::ref out;  // made on the first part that changes
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.get()); ++i) {
        pk::ref part = pk::ref::borrow(PyList_GET_ITEM(all.get(), i));
        pk::ref replaced;        // a part sent in place of this one
        pk::ref frames;          // or the image parts of a video's frames
        if (PyDict_Check(part.get())) {
            if (is_kind(part.get(), "image_url")) {
                pk::ref stored = item(part.get(), n_image_url);
                if (stored && PyUnicode_Check(stored.get())) {
                    pk::ref url = wire_url(stored.get());
                    replaced = image_part(url.get());
                }
            } else if (is_kind(part.get(), "video")) {
                pk::ref stored = item(part.get(), n_video);
                if (stored && PyList_Check(stored.get()) && all_texts(stored.get())) {
                    pk::ref list = pk::ref::steal(PySequence_List(stored.get()));
                    bool as_list = frame_list();
                    frames = pk::new_list();
                    for (Py_ssize_t f = 0; f < PyList_GET_SIZE(list.get()); ++f) {
                        pk::ref url = wire_url(PyList_GET_ITEM(list.get(), f));
                        pk::ref piece = as_list ? std::move(url) : image_part(url.get());
                        pk::check(PyList_Append(frames.get(), piece.get()));
                    }
                    if (as_list) {
                        replaced = pk::new_dict();
                        pk::check(PyDict_SetItem(replaced.get(), n_type, n_video));
                        pk::check(PyDict_SetItem(replaced.get(), n_video, frames.get()));
                        frames = nullptr;
                    }
                }
            }
        }
        if (!replaced && !frames) {
            if (out) pk::check(PyList_Append(out.get(), part.get()));
            continue;
        }
        if (!out) out = pk::ref::steal(PyList_GetSlice(all.get(), 0, i));
        if (replaced) {
            pk::check(PyList_Append(out.get(), replaced.get()));
        } else {
            for (Py_ssize_t f = 0; f < PyList_GET_SIZE(frames.get()); ++f)
                pk::check(PyList_Append(out.get(), PyList_GET_ITEM(frames.get(), f)));
        }
    }
    return out;
}

}  // namespace pkmodal
