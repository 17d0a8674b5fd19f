/* src/declaration/asset_wrapper.cpp: AssetWrapper, a callable stand-in for the user's function */
#include "declaration/asset_wrapper.hpp"

#include <cstddef>
#include <memory>
#include <utility>

#include "binding/errors.hpp"
#include "binding/host.hpp"
#include "binding/recursion_guard.hpp"
#include "declaration/partitions.hpp"

namespace tolva {

namespace {

constexpr char kClassDoc[] = "The `@asset()` decorator wrapper. Stores the original function and metadata.";

// --- record ---------------------------------------------------------------------

struct AssetWrapperObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* wrapped;        // strong; managed by traverse/clear
    AssetMetadata* metadata;  // owned
};

AssetWrapperObject* as_wrapper(PyObject* self) { return reinterpret_cast<AssetWrapperObject*>(self); }

PyObject* g_type = nullptr;

// The wrapped object; clear() may have dropped it while a cycle was being collected.
PyObject* wrapped_of(PyObject* self) {
    PyObject* wrapped = as_wrapper(self)->wrapped;
    if (!wrapped) PyErr_SetString(PyExc_ReferenceError, "the wrapped object of this AssetWrapper was released");
    return wrapped;
}

// --- creation -------------------------------------------------------------------

PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

// --- traverse / clear / dealloc -------------------------------------------------

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_wrapper(self)->wrapped);
    return 0;
}

int wrapper_clear(PyObject* self) {
    Py_CLEAR(as_wrapper(self)->wrapped);
    return 0;
}

void wrapper_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    wrapper_clear(self);
    delete std::exchange(as_wrapper(self)->metadata, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

// --- getters and slots ----------------------------------------------------------

bool set_item(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

Ref optional_text(const std::optional<std::string>& text) {
    if (!text) return Ref::borrow(Py_None);
    return new_str(*text);
}

Ref inputs_dict(const AssetMetadata& metadata) {
    if (!metadata.inputs) return Ref::borrow(Py_None);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [parameter, reference] : *metadata.inputs) {
        Ref key = new_str(parameter);
        Ref value = new_str(reference);
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict;
}

Ref partitions_dict(const AssetMetadata& metadata) {
    if (!metadata.partitions) return Ref::borrow(Py_None);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [dimension, spec] : *metadata.partitions) {
        Ref key = new_str(dimension);
        Ref rendered = render_spec(spec);
        if (!key || !rendered || PyDict_SetItem(dict.get(), key.get(), rendered.get()) < 0) return nullptr;
    }
    return dict;
}

PyObject* get_metadata(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        const AssetMetadata& metadata = *as_wrapper(self)->metadata;
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        if (!set_item(dict.get(), "kind", new_str("asset")) ||
            !set_item(dict.get(), "name", optional_text(metadata.name)) ||
            !set_item(dict.get(), "serializer", optional_text(metadata.serializer)) ||
            !set_item(dict.get(), "inputs", inputs_dict(metadata)) ||
            !set_item(dict.get(), "partitions", partitions_dict(metadata))) {
            return nullptr;
        }
        return dict.release();
    });
}

PyObject* get_kind(PyObject*, void*) noexcept { return PyUnicode_FromString("asset"); }

PyObject* get_wrapped(PyObject* self, void*) noexcept { return Py_XNewRef(wrapped_of(self)); }

// The forwarding getters read the wrapped object's attribute afresh on every access.
template <Name name>
PyObject* forward(PyObject* self, void*) noexcept {
    PyObject* wrapped = wrapped_of(self);
    if (!wrapped) return nullptr;
    RecursionGuard guard(" while reading an attribute through an AssetWrapper");
    return guard ? attr<name>(wrapped).release() : nullptr;
}

PyObject* wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* wrapped = wrapped_of(self);
    if (!wrapped) return nullptr;
    if (kwargs && PyDict_GET_SIZE(kwargs) == 0) kwargs = nullptr;
    RecursionGuard guard(" while calling an AssetWrapper");
    return guard ? PyObject_Call(wrapped, args, kwargs) : nullptr;
}

// Forwards the caller's argument vector untouched (offset flag included), so a call
// through the wrapper costs one extra C call.
PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    PyObject* wrapped = wrapped_of(self);
    if (!wrapped) return nullptr;
    // The host checks the stack on tp_call but not on vectorcall.
    RecursionGuard guard(" while calling an AssetWrapper");
    return guard ? PyObject_Vectorcall(wrapped, args, nargsf, kwnames) : nullptr;
}

PyObject* wrapper_descr_get(PyObject* self, PyObject*, PyObject*) noexcept { return Py_NewRef(self); }

// --- slot table and type spec ---------------------------------------------------

PyGetSetDef wrapper_getset[] = {
    {"__tolva_metadata__", get_metadata, nullptr, nullptr, nullptr},
    {"__tolva_kind__", get_kind, nullptr, nullptr, nullptr},
    {"__tolva_original__", get_wrapped, nullptr, nullptr, nullptr},
    {"__name__", forward<"__name__">, nullptr, nullptr, nullptr},
    {"__doc__", forward<"__doc__">, nullptr, nullptr, nullptr},
    {"__module__", forward<"__module__">, nullptr, nullptr, nullptr},
    {"__qualname__", forward<"__qualname__">, nullptr, nullptr, nullptr},
    {"__wrapped__", get_wrapped, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef wrapper_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(AssetWrapperObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_getset, wrapper_getset},
    {Py_tp_members, wrapper_members},
    {Py_tp_call, reinterpret_cast<void*>(wrapper_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(wrapper_descr_get)},
    {0, nullptr},
};

PyType_Spec wrapper_spec = {
    "builtins.AssetWrapper",
    sizeof(AssetWrapperObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    wrapper_slots,
};

// --- the __doc__ descriptor -----------------------------------------------------
// PyType_FromSpec stores tp_doc in the type dict under "__doc__" after the getters
// were added, shadowing the forwarding getter. This descriptor takes its place and
// answers both: the class docstring on the class, the wrapped __doc__ on instances.
// On instances it hands over to a host getset descriptor, so a foreign instance and
// an assignment meet the host's own checks and messages.

PyGetSetDef doc_getset = {"__doc__", forward<"__doc__">, nullptr, nullptr, nullptr};
PyObject* g_doc_getset = nullptr;  // kept for the life of the process, like the type

PyObject* doc_descr_get(PyObject*, PyObject* obj, PyObject* type) noexcept {
    if (!obj) return PyUnicode_FromString(kClassDoc);
    return Py_TYPE(g_doc_getset)->tp_descr_get(g_doc_getset, obj, type);
}

int doc_descr_set(PyObject*, PyObject* obj, PyObject* value) noexcept {
    return Py_TYPE(g_doc_getset)->tp_descr_set(g_doc_getset, obj, value);
}

PyType_Slot doc_descr_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(doc_descr_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(doc_descr_set)},
    {0, nullptr},
};

PyType_Spec doc_descr_spec = {"_tolva.AssetWrapperDoc", sizeof(PyObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, doc_descr_slots};

PyObject* create_type() {
    Ref type = Ref::steal(PyType_FromSpec(&wrapper_spec));
    if (!type) return nullptr;
    PyTypeObject* wrapper_type = reinterpret_cast<PyTypeObject*>(type.get());
    Ref getset = Ref::steal(PyDescr_NewGetSet(wrapper_type, &doc_getset));
    if (!getset) return nullptr;
    Ref descr_type = Ref::steal(PyType_FromSpec(&doc_descr_spec));
    if (!descr_type) return nullptr;
    PyTypeObject* doc_type = reinterpret_cast<PyTypeObject*>(descr_type.get());
    Ref descr = Ref::steal(doc_type->tp_alloc(doc_type, 0));
    if (!descr) return nullptr;
    if (PyDict_SetItemString(wrapper_type->tp_dict, "__doc__", descr.get()) < 0) return nullptr;
    PyType_Modified(wrapper_type);
    g_doc_getset = getset.release();
    return type.release();
}

}  // namespace

PyObject* asset_wrapper_type() {
    if (!g_type) g_type = create_type();
    return g_type;
}

Ref make_asset_wrapper(PyObject* wrapped, const AssetMetadata& metadata) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(asset_wrapper_type());
    if (!type) return nullptr;
    auto copy = std::make_unique<AssetMetadata>(metadata);
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    AssetWrapperObject* record = as_wrapper(obj.get());
    record->vectorcall = wrapper_vectorcall;
    record->metadata = copy.release();
    record->wrapped = Py_NewRef(wrapped);
    return obj;
}

}  // namespace tolva
