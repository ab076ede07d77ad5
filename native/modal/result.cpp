// The result model: the status enumeration, one tool call or result, and LLMResult with its `+`.
#include "modal/parts.hpp"

namespace pkmodal {
namespace {

pk::name n_model_dump{"model_dump"}, n_Field{"Field"}, n_default_factory{"default_factory"}, n_BaseModel{"BaseModel"},
    n_StrEnum{"StrEnum"}, n_idle{"idle"};

// def __add__(self, other: 'LLMResult') -> 'LLMResult': a new result, self extended by other.
pk::ref result_add(PyObject* const* a) {
    PyObject *self = a[0], *other = a[1];
    pk::ref cls = pk::global(globals(), n_LLMResult);
    pk::ref dumped = pk::call_method(self, n_model_dump);
    pk::ref result = pk::call_kwargs(cls.get(), dumped.get());
    for (const pk::name* field : {&n_tool_calls, &n_tool_results}) {
        pk::ref mine = pk::getattr(result.get(), *field);
        pk::ref theirs = pk::getattr(other, *field);
        pk::call_method(mine.get(), n_update, theirs);
    }
    for (const pk::name* field : {&n_reasoning_content, &n_content}) {
        pk::ref mine = pk::getattr(result.get(), *field);
        pk::ref theirs = pk::getattr(other, *field);
        pk::ref joined = pk::ref::steal(PyNumber_InPlaceAdd(mine.get(), theirs.get()));
        pk::setattr(result.get(), *field, joined.get());
    }
    pk::ref status = pk::getattr(other, n_status);
    pk::setattr(result.get(), n_status, status.get());
    return result;
}

const pk::fn_def add_def{
    .name = "__add__", .qualname = "LLMResult.__add__", .impl = result_add,
    .params = {{"self"}, {"other", "'LLMResult'"}}, .returns = "'LLMResult'",
    .doc = "Return a new result: this one with other's tool calls and results added, other's texts\n"
              "appended to its own, and other's status.",
};

}  // namespace

void define_results(PyObject* m) {
    PyObject* g = globals();

    pk::ref str_enum = pk::global(g, n_StrEnum);
    pk::ref enum_bases = pk::tuple({str_enum.get()});
    pk::class_builder status(g, "LLMStatus", "LLMStatus", enum_bases.get());
    status.set("__doc__", pk::str("What an LLMResult carries: a whole reply (idle), a streamed piece of answer or\n"
                                  "reasoning text, the tool calls a reply asked for, or the tools' results."));
    for (const char* member : {"idle", "answer", "reason", "tool_calls", "tool_results"})
        status.set(member, pk::str(member));
    pk::bind(m, "LLMStatus", status.create().get());

    pk::ref base_model = pk::global(g, n_BaseModel);
    pk::ref bases = pk::tuple({base_model.get()});
    pk::class_builder tool_content(g, "ToolContent", "ToolContent", bases.get());
    tool_content.set("__doc__", pk::str("One tool call (its arguments) or one tool result, under the tool's name."));
    tool_content.annotate("name", "str").annotate("content", "str | dict[str, Any]");
    pk::bind(m, "ToolContent", tool_content.create().get());

    pk::ref field = pk::global(g, n_Field);
    auto factory = [&](PyTypeObject* t) {
        return pk::call(field, pk::kw(n_default_factory, reinterpret_cast<PyObject*>(t)));
    };
    pk::ref idle = pk::getattr(pk::global(g, n_LLMStatus).get(), n_idle);
    pk::class_builder result(g, "LLMResult", "LLMResult", bases.get());
    result.set("__doc__", pk::str("The result of one call, or one streamed piece of it.\n\n"
                                  "a + b is a new result with b's tool calls and results added to a's, b's texts\n"
                                  "appended to a's and b's status."));
    result.annotate("tool_calls", "dict[str, ToolContent]").set("tool_calls", factory(&PyDict_Type));
    result.annotate("tool_results", "dict[str, ToolContent]").set("tool_results", factory(&PyDict_Type));
    result.annotate("reasoning_content", "str").set("reasoning_content", pk::str(""));
    result.annotate("content", "str").set("content", pk::str(""));
    result.annotate("status", "LLMStatus").set("status", idle);
    result.method(add_def);
    pk::bind(m, "LLMResult", result.create().get());
}

}  // namespace pkmodal
