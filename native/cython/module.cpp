// parleykit.cython: the module entry and its body, in source order.
#include "cython/parts.hpp"

namespace {

void body(PyObject* m) {
    pk::import_module(m, "inspect");
    pk::import_from_into(m, "functools", {"lru_cache"});
    pk::import_from_into(m, "typing", {"Any", "get_type_hints", "get_origin", "Annotated", "get_args", "Callable"});
    pk::import_module(m, "pydantic_core");
    pk::import_from_into(m, "fastmcp.server.dependencies", {"get_context"});
    pk::import_from_into(m, "fastmcp.tools", {"FunctionTool"});
    pk::import_from_into(m, "fastmcp.tools.base", {"ToolResult", "default_serializer", "logger"});
    pk::import_from_into(m, "fastmcp.utilities.types", {"find_kwarg_by_type", "Image", "Audio", "File"});
    pk::import_from_into(m, "mcp.types", {"ContentBlock", "TextContent"});
    pk::import_from_into(m, "pydantic", {"BaseModel", "Field", "ConfigDict", "TypeAdapter", "create_model"});
    pkcy::define_model_base(m);
    pkcy::define_type_adapter(m);
    pkcy::define_convert_to_content(m);
    pkcy::define_twins(m);
    pkcy::define_run_plans(m);
    pkcy::define_function_tool(m);
}

}  // namespace

PK_MODULE(cython, "cython", body)
