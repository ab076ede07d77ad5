// parleykit.modal: the module entry and its body, in source order.
#include "modal/parts.hpp"

namespace pkmodal {
namespace {

PyObject* g_globals = nullptr;

void body(PyObject* m) {
    set_globals(pk::globals_of(m));
    pk::import_module(m, "json");
    remember_json(m);
    pk::import_from_into(m, "enum", {"StrEnum"});
    pk::import_from_into(m, "typing", {"Any", "Iterator"});
    pk::import_module(m, "requests");
    pk::import_from_into(m, "pydantic", {"BaseModel", "Field"});
    pk::import_from_into(m, "parleykit.config", {"Configurator"});
    pk::import_from_into(m, "parleykit.cython", {"CythonBaseModel"});
    pk::import_from_into(m, "parleykit.message", {"Message", "MessageRole"});
    pk::import_from_into(m, "parleykit.tools", {"Tools"});
    define_results(m);
    define_errors(m);
    define_client(m);
}

}  // namespace

PyObject* globals() { return g_globals; }
void set_globals(PyObject* module_dict) { g_globals = module_dict; }

pk::name n_LLMResult{"LLMResult"}, n_LLMStatus{"LLMStatus"}, n_MessageRole{"MessageRole"}, n_Message{"Message"},
    n_Configurator{"Configurator"}, n_requests{"requests"}, n_json{"json"};
pk::name n_tool_calls{"tool_calls"}, n_tool_results{"tool_results"}, n_reasoning_content{"reasoning_content"},
    n_content{"content"}, n_status{"status"}, n_extra_body{"extra_body"}, n_get{"get"}, n_stream{"stream"},
    n_tool_calls_count{"_tool_calls_count"}, n_close{"_close"}, n_default{"_default"}, n_messages{"messages"},
    n_role{"role"}, n_update{"update"};

}  // namespace pkmodal

PK_MODULE(modal, "modal", pkmodal::body)
