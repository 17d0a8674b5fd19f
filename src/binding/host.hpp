/* src/binding/host.hpp: small helpers for calling into the host's Python modules */
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "binding/ref.hpp"

namespace tolva {

// A name written in the code, for the host's attribute and import functions.
template <std::size_t N>
struct Name {
    char text[N];
    constexpr Name(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// The name as an interned str, made on first use and held for the life of the process
// (the module lives in one interpreter per process): lookups by an interned name hit
// the interpreter's attribute caches, and nothing is allocated per lookup. Null, with
// the exception set, when it cannot be made.
template <Name name>
PyObject* interned() {
    static PyObject* text = nullptr;
    if (!text) text = PyUnicode_InternFromString(name.text);
    return text;
}

// Imports a host module with the interpreter's import function, so sys.modules answers.
template <Name name>
Ref import_module() {
    PyObject* text = interned<name>();
    return text ? Ref::steal(PyImport_Import(text)) : nullptr;
}

template <Name name>
Ref attr(PyObject* obj) {
    PyObject* text = interned<name>();
    return text ? Ref::steal(PyObject_GetAttr(obj, text)) : nullptr;
}

// For a name only known at run time.
inline Ref attr(PyObject* obj, const char* name) { return Ref::steal(PyObject_GetAttrString(obj, name)); }

// obj.name(args...) with positional arguments only.
template <Name name, class... Args>
Ref call_method(PyObject* obj, Args... args) {
    PyObject* method_name = interned<name>();
    if (!method_name) return nullptr;
    PyObject* argv[] = {obj, args...};
    return Ref::steal(
        PyObject_VectorcallMethod(method_name, argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(arg) with one positional argument.
inline Ref call_one(PyObject* callable, PyObject* arg) { return Ref::steal(PyObject_CallOneArg(callable, arg)); }

inline Ref new_str(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace tolva
