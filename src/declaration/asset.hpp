/* src/declaration/asset.hpp: the asset() decorator factory */
#pragma once

#include "binding/ref.hpp"

namespace tolva {

extern const char kAssetDoc[];

PyObject* asset_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

// The target function of an asset: its __tolva_original__, or the object itself when
// that attribute cannot be read. Empty only when a PanicException must propagate.
Ref target_function(PyObject* obj);

// True when obj.__tolva_kind__ reads as exactly the str "asset". A failed read is
// discarded; false with an exception set only for a PanicException.
bool is_asset(PyObject* obj, bool& error);

// str(pathlib.Path(inspect.getsourcefile(fn)).resolve())
Ref resolved_source_file(PyObject* inspect, PyObject* pathlib, PyObject* fn);

}  // namespace tolva
