/* src/binding/dumped_json.hpp: Python objects to JSON values through the host's json.dumps */
#pragma once

#include "binding/ref.hpp"
#include "json_text/json_text.hpp"

namespace tolva {

// json.dumps(obj) with the host's defaults, then the module's own parser. A parse
// failure raises error_type with the prefix followed by the parser's error text.
bool dumped_json(PyObject* json_module, PyObject* obj, PyObject* error_type, const char* prefix, json::Value& out);

// The value dumped_json gives, without the host's round trip, for None, True, False
// and an int, float or str of exactly those types; false, with no error set, when the
// host must say: another type, an int beyond 64 bits, a float that is not finite, a
// str holding a lone surrogate (each an error or a double through the host).
bool plain_json(PyObject* obj, json::Value& out);

}  // namespace tolva
