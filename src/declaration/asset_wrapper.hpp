/* src/declaration/asset_wrapper.hpp: the AssetWrapper type */
#pragma once

#include "binding/ref.hpp"
#include "declaration/metadata.hpp"

namespace tolva {

// The AssetWrapper type, made on first need and kept for the life of the process.
PyObject* asset_wrapper_type();

// A new wrapper holding a reference to `wrapped` and its own copy of `metadata`.
Ref make_asset_wrapper(PyObject* wrapped, const AssetMetadata& metadata);

}  // namespace tolva
