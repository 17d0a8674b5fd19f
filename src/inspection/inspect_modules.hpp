/* src/inspection/inspect_modules.hpp: inspect_modules(modules) */
#pragma once

#include "binding/ref.hpp"

namespace tolva {

extern const char kInspectModulesDoc[];

PyObject* inspect_modules_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) noexcept;

}  // namespace tolva
