/* src/binding/errors.hpp: conversion errors, exception text, PanicException and the C++ boundary */
#pragma once

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "binding/ref.hpp"

namespace tolva {

// TypeError "'{type}' object cannot be converted to '{target}'", prefixed by
// "argument '{argument}': " when the value is a bound argument. Returns nullptr.
std::nullptr_t raise_conversion_error(PyObject* obj, std::string_view target, const char* argument = nullptr);

// The UTF-8 text of a str; raises the host's UnicodeEncodeError for lone surrogates.
bool utf8_view(PyObject* str, std::string_view& out);
// A str value as UTF-8 text, with the conversion error (target "PyString") otherwise.
bool text_of(PyObject* value, std::string& out);
// The UTF-8 text of a str with lone surrogates turned into U+FFFD.
std::optional<std::string> lossy_utf8(PyObject* str);

// "{qualified type name}: {str(exc)}", or ": <exception str() failed>" after the type name.
std::optional<std::string> exception_text(PyObject* exc);

// tp_new of the module's classes: instances are made only by the module's functions.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// The fault exception, derived from BaseException, made on first need.
PyObject* panic_type();
std::nullptr_t raise_panic(std::string_view message);

// Clears the pending exception unless it is a PanicException, which must end the
// current call. Returns true when the exception was discarded.
bool discard_error();

// Runs the body of a function entered from Python and converts anything C++ throws
// into a Python exception, so none crosses into the interpreter.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    using Result = decltype(body());
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
    if constexpr (std::is_pointer_v<Result>) return nullptr;
    else return Result(-1);
}

}  // namespace tolva
