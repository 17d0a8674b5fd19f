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

// inspect.signature(fn, annotation_format=annotationlib.Format.<format>).
template <Name format>
Ref unevaluated_signature(PyObject* inspect, PyObject* fn) {
    Ref annotationlib = import_module<"annotationlib">();
    if (!annotationlib) return nullptr;
    Ref formats = attr<"Format">(annotationlib.get());
    if (!formats) return nullptr;
    Ref chosen = attr<format>(formats.get());
    if (!chosen) return nullptr;
    Ref method = attr<"signature">(inspect);
    Ref args = Ref::steal(PyTuple_Pack(1, fn));  // PyTuple_Pack takes its own reference
    Ref kwargs = Ref::steal(PyDict_New());
    if (!method || !args || !kwargs) return nullptr;
    PyObject* keyword = interned<"annotation_format">();
    if (!keyword || PyDict_SetItem(kwargs.get(), keyword, chosen.get()) < 0) return nullptr;
    return Ref::steal(PyObject_Call(method.get(), args.get(), kwargs.get()));
}

// inspect.signature(fn). Annotations are evaluated when read (deferred since 3.14), so
// one that names a type imported only for type checkers raises: then the signature is
// read again with the annotations unevaluated, in the given format. When that fails
// too, the first error stands; anything that is not an Exception is never retried.
template <Name format>
Ref signature_of(PyObject* inspect, PyObject* fn) {
    Ref signature = call_method<"signature">(inspect, fn);
    if (signature || !PyErr_ExceptionMatches(PyExc_Exception)) return signature;
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    signature = unevaluated_signature<format>(inspect, fn);
    if (signature || !PyErr_ExceptionMatches(PyExc_Exception)) return signature;
    PyErr_Clear();
    PyErr_SetRaisedException(raised.release());  // steals the reference
    return nullptr;
}

inline Ref new_str(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace tolva
