// The pieces of parleykit.modal: each concern defines its functions in its own file; client.cpp
// assembles LLModal's class body from them in declaration order.
#pragma once
#include "pk/coro.hpp"
#include "pk/klass.hpp"
#include "pk/module.hpp"

namespace pkmodal {

// The module namespace: methods look module-level names up here when they run.
PyObject* globals();
void set_globals(PyObject* module_dict);

// Names shared by several concerns, interned once.
extern pk::name n_LLMResult, n_LLMStatus, n_MessageRole, n_Message, n_Configurator, n_requests, n_json;
extern pk::name n_tool_calls, n_tool_results, n_reasoning_content, n_content, n_status, n_extra_body, n_get,
    n_stream, n_tool_calls_count, n_close, n_default, n_messages, n_role, n_update;

// Result model: LLMStatus, ToolContent, LLMResult.
void define_results(PyObject* module);
// The conversation client LLModal.
void define_client(PyObject* module);

// Methods of LLModal, by concern (each defined in its own file).
extern const pk::fn_def reset_def, stream_def;
extern const pk::fn_def response_def, stream_response_def;  // response.cpp

}  // namespace pkmodal
