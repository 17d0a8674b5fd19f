/* src/lib.cpp: the _tolva entry point: one module per process, classes and functions registered in order */
#include <atomic>
#include <cstdint>

#include "binding/errors.hpp"
#include "binding/host.hpp"
#include "declaration/asset.hpp"
#include "declaration/asset_wrapper.hpp"
#include "declaration/partitions.hpp"
#include "inspection/inspect_modules.hpp"
#include "materialization/materialize_asset.hpp"

namespace tolva {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tolva", "The native `_tolva` module.", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // one reference for the life of the process

PyMethodDef function_defs[] = {
    {"asset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(asset_function)),
     METH_FASTCALL | METH_KEYWORDS, kAssetDoc},
    {"partitions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(partitions_function)),
     METH_FASTCALL | METH_KEYWORDS, kPartitionsDoc},
    {"inspect_modules", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inspect_modules_function)),
     METH_FASTCALL | METH_KEYWORDS, kInspectModulesDoc},
    {"materialize_asset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(materialize_asset_function)),
     METH_FASTCALL | METH_KEYWORDS, kMaterializeAssetDoc},
};

// Appends the name to __all__ (made on first use) and sets the attribute.
bool add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = attr<"__all__">(module);
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) return raise_conversion_error(all.get(), "PyList"), false;
    if (PyList_Append(all.get(), name) < 0) return false;
    return PyObject_SetAttr(module, name, value) == 0;
}

bool add_class(PyObject* module, const char* name, PyObject* type) {
    if (!type) return false;
    Ref text = Ref::steal(PyUnicode_FromString(name));
    return text && add_to_module(module, text.get(), type);
}

bool add_function(PyObject* module, PyMethodDef& def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!function) return false;
    Ref name = attr<"__name__">(function.get());
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) return raise_conversion_error(name.get(), "PyString"), false;
    return add_to_module(module, name.get(), function.get());
}

bool register_members(PyObject* module) {
    if (!add_class(module, "AssetWrapper", asset_wrapper_type())) return false;
    if (!add_class(module, "Partitions", partitions_type())) return false;
    for (PyMethodDef& def : function_defs) {
        if (!add_function(module, def)) return false;
    }
    return true;
}

PyObject* init_module() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_tolva does not support sub-interpreters: it was already initialised in another interpreter");
        return nullptr;
    }
    // A re-import (after del sys.modules["_tolva"], or reload) yields the same module.
    if (g_module) return Py_NewRef(g_module);
    Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module || !register_members(module.get())) return nullptr;
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace tolva

PyMODINIT_FUNC PyInit__tolva() { return tolva::guarded(tolva::init_module); }
