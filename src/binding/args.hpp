/* src/binding/args.hpp: binding fast-call arguments against a signature, and argument conversion */
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "binding/errors.hpp"

namespace tolva {

struct Param {
    const char* name;
    bool keyword_only = false;
    bool required = false;
};

struct Signature {
    const char* function;  // as shown in messages, without "()"
    std::span<const Param> params;
};

// Binds METH_FASTCALL | METH_KEYWORDS arguments: out[i] is the borrowed value of
// params[i], or nullptr when it was not given. Raises TypeError in the host's words.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** out);

// A bound argument that must be a str, as UTF-8 text valid while the object lives.
bool text_argument(PyObject* value, const char* name, std::string_view& out);
// A bound argument that may also be left out or None.
bool optional_text_argument(PyObject* value, const char* name, std::optional<std::string>& out);

}  // namespace tolva
