/* src/materialization/materialize_asset.hpp: materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None) */
#pragma once

#include "binding/ref.hpp"

namespace tolva {

extern const char kMaterializeAssetDoc[];

PyObject* materialize_asset_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) noexcept;

}  // namespace tolva
