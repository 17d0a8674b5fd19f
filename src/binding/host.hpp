/* src/binding/host.hpp: small helpers for calling into the host's Python modules */
#pragma once

#include <string_view>

#include "binding/ref.hpp"

namespace tolva {

// Imports a host module with the interpreter's import function, so sys.modules answers.
inline Ref import_module(const char* name) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return nullptr;
    return Ref::steal(PyImport_Import(text.get()));
}

inline Ref attr(PyObject* obj, const char* name) { return Ref::steal(PyObject_GetAttrString(obj, name)); }

// obj.name(args...) with positional arguments only.
template <class... Args>
Ref call_method(PyObject* obj, const char* name, Args... args) {
    Ref method_name = Ref::steal(PyUnicode_InternFromString(name));
    if (!method_name) return nullptr;
    PyObject* argv[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(method_name.get(), argv,
                                                (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(arg) with one positional argument.
inline Ref call_one(PyObject* callable, PyObject* arg) { return Ref::steal(PyObject_CallOneArg(callable, arg)); }

inline Ref new_str(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace tolva
