/* src/declaration/asset.cpp: asset(...), the decorator factory, and asset_decorator */
#include "declaration/asset.hpp"

#include <memory>

#include "binding/args.hpp"
#include "binding/dict_walk.hpp"
#include "binding/errors.hpp"
#include "binding/host.hpp"
#include "declaration/asset_wrapper.hpp"
#include "declaration/partitions.hpp"

namespace tolva {

const char kAssetDoc[] =
    "asset(*, name=None, inputs=None, partitions=None, serializer=None)\n"
    "--\n"
    "\n"
    "Decorator that registers a Python function as a tolva asset.\n"
    "\n"
    "Usage\n"
    "-----\n"
    "    from tolva import asset\n"
    "\n"
    "    @asset()\n"
    "    def my_data():\n"
    "        return {\"value\": 42}\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "name : str, optional\n"
    "    Override the asset's display name / continuity key.\n"
    "    Defaults to ``\"<file>:<function_name>\"``.\n"
    "inputs : dict[str, asset], optional\n"
    "    Declare upstream dependencies.  Map parameter names to other\n"
    "    ``@asset``-decorated functions.  Tolva will materialize upstream\n"
    "    assets first and pass their values as keyword arguments.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        @asset()\n"
    "        def raw(): return [1, 2, 3]\n"
    "\n"
    "        @asset(inputs={\"data\": raw})\n"
    "        def processed(data): return [x * 2 for x in data]\n"
    "\n"
    "partitions : dict[str, partitions(...)], optional\n"
    "    Declare a partitioned asset.  Each dimension maps to a\n"
    "    ``partitions([...])`` call that enumerates the static partition keys.\n"
    "    Tolva will create one materialization job per partition combination.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        from tolva import asset, partitions\n"
    "\n"
    "        @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "        def prices(ticker: str):\n"
    "            return fetch_price(ticker)\n"
    "\n"
    "serializer : str, optional\n"
    "    Reserved for future use.  Leave unset.";

// An attribute that may be missing: a plain AttributeError is not even created (most
// members of a module have no __tolva_kind__); any other exception is discarded too,
// unless it must end the call. Empty with no exception set when it cannot be read.
template <Name name>
Ref optional_attr(PyObject* obj, bool& error) {
    PyObject* text = interned<name>();
    PyObject* value = nullptr;
    error = !text || (PyObject_GetOptionalAttr(obj, text, &value) < 0 && !discard_error());
    return Ref::steal(value);
}

Ref target_function(PyObject* obj) {
    bool error;
    Ref original = optional_attr<"__tolva_original__">(obj, error);
    if (original || error) return original;
    return Ref::borrow(obj);
}

bool is_asset(PyObject* obj, bool& error) {
    Ref kind = optional_attr<"__tolva_kind__">(obj, error);
    return kind && PyUnicode_Check(kind.get()) && PyUnicode_EqualToUTF8(kind.get(), "asset");
}

Ref resolved_source_file(PyObject* inspect, PyObject* pathlib, PyObject* fn) {
    Ref file = call_method<"getsourcefile">(inspect, fn);
    if (!file) return nullptr;
    Ref path = call_method<"Path">(pathlib, file.get());
    if (!path) return nullptr;
    Ref resolved = call_method<"resolve">(path.get());
    if (!resolved) return nullptr;
    return Ref::steal(PyObject_Str(resolved.get()));
}

namespace {

// "<resolved source file>:<__name__>" of an upstream asset; never its display name.
bool asset_reference(PyObject* asset, std::string& out) {
    Ref fn = target_function(asset);
    if (!fn) return false;
    Ref inspect = import_module<"inspect">();
    if (!inspect) return false;
    Ref pathlib = import_module<"pathlib">();
    if (!pathlib) return false;
    Ref path = resolved_source_file(inspect.get(), pathlib.get(), fn.get());
    if (!path) return false;
    std::string path_text, name_text;
    if (!text_of(path.get(), path_text)) return false;
    Ref name = attr<"__name__">(fn.get());
    if (!name || !text_of(name.get(), name_text)) return false;
    out = path_text + ":" + name_text;
    return true;
}

bool reference_string(PyObject* value, std::string& out) {
    bool error;
    if (is_asset(value, error)) return asset_reference(value, out);
    if (error) return false;
    if (PyUnicode_Check(value)) return text_of(value, out);
    PyErr_SetString(PyExc_TypeError, "inputs values must be @asset-decorated functions or asset ref strings");
    return false;
}

bool convert_inputs(PyObject* inputs, AssetMetadata& metadata) {
    if (!PyDict_Check(inputs)) return raise_conversion_error(inputs, "PyDict"), false;
    auto& map = metadata.inputs.emplace();
    return walk_dict(inputs, [&](PyObject* key, PyObject* value) {
        std::string parameter, reference;
        if (!text_of(key, parameter) || !reference_string(value, reference)) return false;
        map.insert_or_assign(std::move(parameter), std::move(reference));
        return true;
    });
}

bool convert_partitions(PyObject* partitions, AssetMetadata& metadata) {
    if (!PyDict_Check(partitions)) return raise_conversion_error(partitions, "PyDict"), false;
    auto& map = metadata.partitions.emplace();
    return walk_dict(partitions, [&](PyObject* key, PyObject* value) {
        std::string dimension;
        if (!text_of(key, dimension)) return false;
        std::optional<PartitionSpec> spec = spec_from_marker(value);
        if (!spec) return false;
        map.insert_or_assign(std::move(dimension), std::move(*spec));
        return true;
    });
}

// --- the decorator ----------------------------------------------------------------

constexpr char kCapsuleName[] = "_tolva.AssetMetadata";

void release_metadata(PyObject* capsule) noexcept {
    delete static_cast<AssetMetadata*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyObject* decorator_call(PyObject* capsule, PyObject* args, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        // Keyword arguments are neither counted nor refused: they are dropped.
        if (PyTuple_GET_SIZE(args) != 1) {
            PyErr_SetString(PyExc_TypeError, "asset() decorator expects exactly one argument (the function)");
            return nullptr;
        }
        auto* metadata = static_cast<AssetMetadata*>(PyCapsule_GetPointer(capsule, kCapsuleName));
        if (!metadata) return nullptr;
        return make_asset_wrapper(PyTuple_GET_ITEM(args, 0), *metadata).release();
    });
}

PyMethodDef decorator_def = {
    "asset_decorator", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decorator_call)),
    METH_VARARGS | METH_KEYWORDS, nullptr,
};

// The decorator owns its metadata through a capsule as its __self__, so the copy
// lives exactly as long as the function object.
PyObject* make_decorator(std::unique_ptr<AssetMetadata> metadata) {
    Ref capsule = Ref::steal(PyCapsule_New(metadata.get(), kCapsuleName, release_metadata));
    if (!capsule) return nullptr;
    metadata.release();
    return PyCMethod_New(&decorator_def, capsule.get(), nullptr, nullptr);
}

constexpr Param kParams[] = {
    {"name", true, false},
    {"inputs", true, false},
    {"partitions", true, false},
    {"serializer", true, false},
};
constexpr Signature kSignature{"asset", kParams};

}  // namespace

PyObject* asset_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[4];
        if (!bind_arguments(kSignature, args, nargsf, kwnames, bound)) return nullptr;
        auto metadata = std::make_unique<AssetMetadata>();
        if (!optional_text_argument(bound[0], "name", metadata->name)) return nullptr;
        if (!optional_text_argument(bound[3], "serializer", metadata->serializer)) return nullptr;
        // Inputs are settled before partitions, so a bad inputs is the one reported.
        if (bound[1] && bound[1] != Py_None && !convert_inputs(bound[1], *metadata)) return nullptr;
        if (bound[2] && bound[2] != Py_None && !convert_partitions(bound[2], *metadata)) return nullptr;
        return make_decorator(std::move(metadata));
    });
}

}  // namespace tolva
