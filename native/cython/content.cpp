// _convert_to_content: a tool's return value as a list of MCP content blocks.
#include "cython/parts.hpp"

namespace pkcy {
namespace {

PyObject* globals = nullptr;  // the module dict: content types, serializer and logger are read per call

pk::name n_ContentBlock{"ContentBlock"}, n_Image{"Image"}, n_Audio{"Audio"}, n_File{"File"},
    n_TextContent{"TextContent"}, n_default_serializer{"default_serializer"}, n_logger{"logger"},
    n_warning{"warning"}, n_exc_info{"exc_info"}, n_type{"type"}, n_text{"text"},
    n_to_image_content{"to_image_content"}, n_to_audio_content{"to_audio_content"},
    n_to_resource_content{"to_resource_content"}, n_convert{"_convert_to_content"}, n_serializer{"serializer"},
    n_single{"_process_as_single_item"}, n_warning_format{"Error serializing tool result: %s"};

pk::ref list_of(PyObject* item) {
    pk::ref l = pk::new_list();
    pk::check(PyList_Append(l.get(), item));
    return l;
}

// While alive, `exc` is the exception being handled (sys.exception()), as inside an except
// block: logging's exc_info=True reads it, and errors raised meanwhile get it as __context__.
class handling {
public:
    explicit handling(PyObject* exc) : previous_(pk::ref::steal_or_null(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~handling() { PyErr_SetHandledException(previous_ ? previous_.get() : Py_None); }
    handling(const handling&) = delete;
    handling& operator=(const handling&) = delete;

private:
    pk::ref previous_;
};

// The text of a non-string result: the tool's serializer, falling back to default_serializer
// (with a logged warning) when the serializer fails with an Exception.
pk::ref serialize(PyObject* result, PyObject* serializer) {
    if (serializer == Py_None) return pk::call(pk::global(globals, n_default_serializer), result);
    pk::ref text = pk::ref::steal_or_null(PyObject_CallOneArg(serializer, result));
    if (text) return text;
    if (!pk::error_is_exception()) throw pk::python_error{};
    pk::ref e = pk::fetch_error();
    handling in_handler(e.get());
    pk::ref warning = pk::getattr(pk::global(globals, n_logger).get(), n_warning);
    pk::call(warning, n_warning_format, e, pk::kw(n_exc_info, Py_True));
    return pk::call(pk::global(globals, n_default_serializer), result);
}

// def _convert_to_content(result: Any, serializer: Callable[[Any], str] | None = None,
//                         _process_as_single_item: bool = False) -> list[ContentBlock]
pk::ref convert_to_content(PyObject* const* a) {
    PyObject *result = a[0], *serializer = a[1], *single = a[2];
    if (result == Py_None) return pk::new_list();
    if (pk::isinstance(result, pk::global(globals, n_ContentBlock).get())) return list_of(result);
    if (pk::isinstance(result, pk::global(globals, n_Image).get()))
        return list_of(pk::call_method(result, n_to_image_content).get());
    if (pk::isinstance(result, pk::global(globals, n_Audio).get()))
        return list_of(pk::call_method(result, n_to_audio_content).get());
    if (pk::isinstance(result, pk::global(globals, n_File).get()))
        return list_of(pk::call_method(result, n_to_resource_content).get());

    if ((pk::isinstance(result, reinterpret_cast<PyObject*>(&PyList_Type)) ||
         pk::isinstance(result, reinterpret_cast<PyObject*>(&PyTuple_Type))) &&
        !pk::truthy(single)) {
        pk::ref mcp_types = pk::new_list(), other_content = pk::new_list();
        pk::ref it = pk::ref::steal(PyObject_GetIter(result));
        while (pk::ref item = pk::ref::steal_or_null(PyIter_Next(it.get()))) {
            pk::ref content_types =
                pk::tuple({pk::global(globals, n_ContentBlock).get(), pk::global(globals, n_Image).get(),
                           pk::global(globals, n_Audio).get(), pk::global(globals, n_File).get()});
            if (pk::isinstance(item.get(), content_types.get())) {
                pk::ref converted = pk::call(pk::global(globals, n_convert), item);
                pk::check(PyList_Append(mcp_types.get(), pk::getitem(converted.get(), pk::integer(0).get()).get()));
            } else {
                pk::check(PyList_Append(other_content.get(), item.get()));
            }
        }
        if (PyErr_Occurred()) throw pk::python_error{};
        if (PyList_GET_SIZE(other_content.get()) > 0) {
            // The plain values, as one list, become one text block ahead of the content items.
            other_content = pk::call(pk::global(globals, n_convert), other_content, pk::kw(n_serializer, serializer),
                                     pk::kw(n_single, Py_True));
        }
        return pk::ref::steal(PyNumber_Add(other_content.get(), mcp_types.get()));
    }

    pk::ref text = pk::ref::borrow(result);
    if (!pk::isinstance(result, reinterpret_cast<PyObject*>(&PyUnicode_Type))) text = serialize(result, serializer);
    pk::ref block = pk::call(pk::global(globals, n_TextContent), pk::kw(n_type, n_text),
                             pk::kw(n_text, text));
    return list_of(block.get());
}

const pk::fn_def convert_to_content_def{
    .name = "_convert_to_content", .qualname = "_convert_to_content", .impl = convert_to_content,
    .params = {{"result", "Any"}, {"serializer", "Callable[[Any], str] | None"}, {"_process_as_single_item", "bool"}},
    .returns = "list[ContentBlock]", .doc = "Convert a result to a sequence of content objects.",
};

}  // namespace

void define_convert_to_content(PyObject* m) {
    globals = pk::globals_of(m);
    pk::ref defaults = pk::tuple({Py_None, Py_False});
    pk::bind(m, "_convert_to_content", pk::make_function(convert_to_content_def, globals, defaults.get()).get());
}

}  // namespace pkcy
