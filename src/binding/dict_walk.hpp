/* src/binding/dict_walk.hpp: walking a dict that user code may change meanwhile */
#pragma once

#include "binding/errors.hpp"

namespace tolva {

// Calls visit(key, value) for each entry, holding both while visit runs user code.
// A change of the dict's size, or more entries than it started with, is a fault:
// PanicException "dictionary changed size during iteration" or "dictionary keys
// changed during iteration", checked before each step. Returns false on error.
template <class Visit>
bool walk_dict(PyObject* dict, Visit&& visit) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) return raise_panic("dictionary changed size during iteration"), false;
        if (remaining == -1) return raise_panic("dictionary keys changed during iteration"), false;
        PyObject* key_borrowed;
        PyObject* value_borrowed;
        if (!PyDict_Next(dict, &pos, &key_borrowed, &value_borrowed)) return true;
        --remaining;
        Ref key = Ref::borrow(key_borrowed);
        Ref value = Ref::borrow(value_borrowed);
        if (!visit(key.get(), value.get())) return false;
    }
}

}  // namespace tolva
