/* src/binding/errors.cpp: conversion errors, exception text and PanicException */
#include "binding/errors.hpp"

namespace tolva {

namespace {

PyObject* g_panic_type = nullptr;  // kept for the life of the process

// The qualified name of an object's type as text.
std::optional<std::string> type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) return std::nullopt;
    return lossy_utf8(name.get());
}

}  // namespace

std::nullptr_t raise_conversion_error(PyObject* obj, std::string_view target, const char* argument) {
    std::optional<std::string> type_name = type_qualname(obj);
    if (!type_name) return nullptr;
    std::string message;
    if (argument) {
        message += "argument '";
        message += argument;
        message += "': ";
    }
    message += "'" + *type_name + "' object cannot be converted to '";
    message += target;
    message += "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

bool utf8_view(PyObject* str, std::string_view& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool text_of(PyObject* value, std::string& out) {
    if (!PyUnicode_Check(value)) return raise_conversion_error(value, "PyString"), false;
    std::string_view text;
    if (!utf8_view(value, text)) return false;
    out.assign(text);
    return true;
}

std::optional<std::string> lossy_utf8(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(data, size);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
    PyErr_Clear();
    // Encode the surrogates as they stand, then decode with replacement.
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) return std::nullopt;
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!decoded) return std::nullopt;
    const char* data = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
    if (!data) return std::nullopt;
    return std::string(data, size);
}

std::optional<std::string> exception_text(PyObject* exc) {
    std::optional<std::string> text = type_qualname(exc);
    if (!text) return std::nullopt;
    *text += ": ";
    Ref str = Ref::steal(PyObject_Str(exc));
    std::optional<std::string> detail;
    if (str) detail = lossy_utf8(str.get());
    if (!detail) {
        if (!discard_error()) return std::nullopt;
        detail = "<exception str() failed>";
    }
    *text += *detail;
    return text;
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref name = Ref::steal(PyType_GetName(type));
    if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

PyObject* panic_type() {
    if (!g_panic_type) {
        g_panic_type = PyErr_NewExceptionWithDoc(
            "_tolva.PanicException",
            "An internal fault of the _tolva module: a broken invariant, such as a dictionary\n"
            "that changed while the module walked it. Derived from BaseException so that\n"
            "handlers for Exception do not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

std::nullptr_t raise_panic(std::string_view message) {
    PyObject* type = panic_type();
    if (!type) return nullptr;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

bool discard_error() {
    if (g_panic_type && PyErr_ExceptionMatches(g_panic_type)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace tolva
