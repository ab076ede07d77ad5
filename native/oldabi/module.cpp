// parleykit._oldabi: a private module built as if for an older Python, so the tests can watch the
// load-time version check warn and then carry on loading.
#include "pk/module.hpp"

namespace {

// The body binds one marker, so a test can tell that loading went on after the warning.
void body(PyObject* m) { pk::bind(m, "loaded", Py_True); }

}  // namespace

PK_MODULE(_oldabi, "_oldabi", body)
