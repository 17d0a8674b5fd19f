/* src/declaration/partitions.hpp: the Partitions marker and partition specs */
#pragma once

#include <optional>

#include "binding/ref.hpp"
#include "declaration/metadata.hpp"

namespace tolva {

extern const char kPartitionsDoc[];

// The Partitions type, made on first need and kept for the life of the process.
PyObject* partitions_type();

// partitions(values): the module function.
PyObject* partitions_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

// A marker's values (shared, not copied); TypeError "partition values must be partitions([...]) instances" otherwise.
std::optional<PartitionSpec> spec_from_marker(PyObject* marker);

// {"kind": "inline", "values_json": "<compact JSON array of the values>"}
Ref render_spec(const PartitionSpec& spec);

}  // namespace tolva
