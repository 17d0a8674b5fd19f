/* src/binding/dumped_json.cpp: Python objects to JSON values through the host's json.dumps */
#include "binding/dumped_json.hpp"

#include <cmath>
#include <string>

#include "binding/errors.hpp"
#include "binding/host.hpp"

namespace tolva {

bool dumped_json(PyObject* json_module, PyObject* obj, PyObject* error_type, const char* prefix, json::Value& out) {
    Ref dumped = call_method<"dumps">(json_module, obj);
    if (!dumped) return false;
    std::string_view text;
    if (!PyUnicode_Check(dumped.get())) return raise_conversion_error(dumped.get(), "PyString"), false;
    if (!utf8_view(dumped.get(), text)) return false;
    json::ParseResult parsed = json::parse(text);
    if (auto* error = std::get_if<json::ParseError>(&parsed)) {
        std::string message = prefix;
        message += error->text();
        PyErr_SetString(error_type, message.c_str());
        return false;
    }
    out = std::move(std::get<json::Value>(parsed));
    return true;
}

bool plain_json(PyObject* obj, json::Value& out) {
    if (obj == Py_None) {
        out = json::Value();
        return true;
    }
    if (obj == Py_True || obj == Py_False) {
        out = json::Value(obj == Py_True);
        return true;
    }
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {
            if (number == -1 && PyErr_Occurred()) return PyErr_Clear(), false;
            out = json::Value(static_cast<std::int64_t>(number));
            return true;
        }
        if (overflow < 0) return false;
        const unsigned long long big = PyLong_AsUnsignedLongLong(obj);
        if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return PyErr_Clear(), false;
        out = json::Value(static_cast<std::uint64_t>(big));
        return true;
    }
    if (PyFloat_CheckExact(obj)) {
        // repr() of a finite float reads back as the same double.
        const double number = PyFloat_AS_DOUBLE(obj);
        if (!std::isfinite(number)) return false;
        out = json::Value(number);
        return true;
    }
    if (PyUnicode_CheckExact(obj)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
        if (!utf8) return PyErr_Clear(), false;  // a lone surrogate: the host's text, then its error
        out = json::Value(std::string(utf8, static_cast<std::size_t>(size)));
        return true;
    }
    return false;
}

}  // namespace tolva
