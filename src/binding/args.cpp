/* src/binding/args.cpp: argument binding and conversion messages in the host's style */
#include "binding/args.hpp"

namespace tolva {

namespace {

Py_ssize_t positional_capacity(const Signature& signature) {
    Py_ssize_t n = 0;
    for (const Param& p : signature.params) n += p.keyword_only ? 0 : 1;
    return n;
}

Py_ssize_t positional_required(const Signature& signature) {
    Py_ssize_t n = 0;
    for (const Param& p : signature.params) n += (!p.keyword_only && p.required) ? 1 : 0;
    return n;
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
    Py_ssize_t max = positional_capacity(signature), min = positional_required(signature);
    const char* verb = given == 1 ? "was" : "were";
    if (min != max) {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                     signature.function, min, max, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", signature.function,
                     max, given, verb);
    }
    return false;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const std::size_t count = signature.params.size();
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;

    if (nargs > positional_capacity(signature)) return too_many_positional(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t i = 0;
        while (i < count && !PyUnicode_EqualToUTF8(keyword, signature.params[i].name)) ++i;
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function,
                         keyword);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zu)",
                         signature.function, keyword, i + 1);
            return false;
        }
        out[i] = args[nargs + k];
    }

    for (std::size_t i = 0; i < count; ++i) {
        if (!out[i] && signature.params[i].required) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", signature.function,
                         signature.params[i].name, i + 1);
            return false;
        }
    }
    return true;
}

bool text_argument(PyObject* value, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(value)) return raise_conversion_error(value, "PyString", name), false;
    return utf8_view(value, out);
}

bool optional_text_argument(PyObject* value, const char* name, std::optional<std::string>& out) {
    out.reset();
    if (!value || value == Py_None) return true;
    std::string_view text;
    if (!text_argument(value, name, text)) return false;
    out.emplace(text);
    return true;
}

}  // namespace tolva
