/* src/declaration/partitions.cpp: partitions(values), the Partitions marker and partition specs */
#include "declaration/partitions.hpp"

#include <string>

#include "binding/args.hpp"
#include "binding/dumped_json.hpp"
#include "binding/errors.hpp"
#include "binding/host.hpp"

namespace tolva {

const char kPartitionsDoc[] =
    "partitions(values)\n"
    "--\n"
    "\n"
    "Declare a static partition universe for use with ``@asset(partitions=...)``.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from tolva import asset, partitions\n"
    "\n"
    "    @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "    def prices(ticker: str): ...";

namespace {

struct PartitionsObject {
    PyObject_HEAD
    PartitionSpec spec;
};

PyObject* g_type = nullptr;

// Instances are made only by partitions(values).
PyObject* make_marker(PartitionSpec spec) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(partitions_type());
    if (!type) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    new (&reinterpret_cast<PartitionsObject*>(obj)->spec) PartitionSpec(std::move(spec));
    return obj;
}

void marker_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PartitionsObject*>(self)->spec.~PartitionSpec();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* marker_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("Partitions(%zu values)", reinterpret_cast<PartitionsObject*>(self)->spec.count);
}

PyType_Slot marker_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(marker_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(marker_repr)},
    {Py_tp_doc, const_cast<char*>("Marker type returned by `partitions([...])`. Stores the static values.")},
    {0, nullptr},
};

PyType_Spec marker_spec = {
    "builtins.Partitions", sizeof(PartitionsObject), 0, Py_TPFLAGS_DEFAULT, marker_slots,
};

constexpr Param kParams[] = {{"values", false, true}};
constexpr Signature kSignature{"partitions", kParams};

}  // namespace

PyObject* partitions_type() {
    if (!g_type) g_type = PyType_FromSpec(&marker_spec);
    return g_type;
}

PyObject* partitions_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(kSignature, args, nargsf, kwnames, bound)) return nullptr;
        PyObject* list = bound[0];
        if (!PyList_Check(list)) return raise_conversion_error(list, "PyList", "values");
        Ref json_module = import_module<"json">();
        if (!json_module) return nullptr;
        std::string text = "[";
        std::size_t count = 0;
        json::Value value;
        // User code in dumps may shrink the list, so stop at the smaller of both lengths.
        const Py_ssize_t start_length = PyList_GET_SIZE(list);
        for (Py_ssize_t i = 0; i < start_length && i < PyList_GET_SIZE(list); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
            if (!plain_json(item.get(), value) &&
                !dumped_json(json_module.get(), item.get(), PyExc_ValueError, "invalid partition value: ", value)) {
                return nullptr;
            }
            if (count++) text.push_back(',');
            json::write(value, text);
        }
        text.push_back(']');
        PartitionSpec spec{std::make_shared<const std::string>(std::move(text)), count};
        return make_marker(std::move(spec));
    });
}

std::optional<PartitionSpec> spec_from_marker(PyObject* marker) {
    PyObject* type = partitions_type();
    if (!type) return std::nullopt;
    if (!PyObject_TypeCheck(marker, reinterpret_cast<PyTypeObject*>(type))) {
        PyErr_SetString(PyExc_TypeError, "partition values must be partitions([...]) instances");
        return std::nullopt;
    }
    return reinterpret_cast<PartitionsObject*>(marker)->spec;
}

Ref render_spec(const PartitionSpec& spec) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    Ref kind = new_str("inline");
    if (!kind || PyDict_SetItemString(dict.get(), "kind", kind.get()) < 0) return nullptr;
    Ref values_json = new_str(*spec.values_json);
    if (!values_json || PyDict_SetItemString(dict.get(), "values_json", values_json.get()) < 0) return nullptr;
    return dict;
}

}  // namespace tolva
