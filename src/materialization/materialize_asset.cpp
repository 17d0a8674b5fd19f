/* src/materialization/materialize_asset.cpp: materialize_asset, one asset computed in a worker */
#include "materialization/materialize_asset.hpp"

#include <optional>
#include <string>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/host.hpp"
#include "declaration/asset.hpp"
#include "materialization/output_files.hpp"

namespace tolva {

const char kMaterializeAssetDoc[] =
    "materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)\n"
    "--\n"
    "\n"
    "Materialize a single asset function. Called by the `python -m tolva.worker` CLI stub.\n"
    "\n"
    "Imports the module, finds the function, calls the unwrapped original,\n"
    "serializes the result to JSON, writes value.json and result.json.\n"
    "\n"
    "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
    "passed as keyword arguments to the function.";

namespace {

constexpr Param kParams[] = {
    {"module_name", false, true},
    {"function_name", false, true},
    {"output_dir", false, true},
    {"input_kwargs_json", false, false},
};
constexpr Signature kSignature{"materialize_asset", kParams};

struct Request {
    std::string_view module_name, function_name, output_dir;
    std::optional<std::string> input_kwargs_json;
};

struct Host {
    Ref importlib, inspect, json, pathlib;

    bool import() {
        return (importlib = import_module<"importlib">()) && (inspect = import_module<"inspect">()) &&
               (json = import_module<"json">()) && (pathlib = import_module<"pathlib">());
    }
};

// Calls the function with the decoded inputs; they are decoded only now, after the
// function was found, so a missing module is reported before malformed inputs.
Ref call_asset(const Host& host, PyObject* fn, const std::optional<std::string>& input_kwargs_json) {
    if (!input_kwargs_json) return Ref::steal(PyObject_CallNoArgs(fn));
    Ref text = new_str(*input_kwargs_json);
    if (!text) return nullptr;
    Ref kwargs = call_method<"loads">(host.json.get(), text.get());
    if (!kwargs) return nullptr;
    if (!PyDict_Check(kwargs.get())) return raise_conversion_error(kwargs.get(), "PyDict");
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    return Ref::steal(PyObject_Call(fn, no_args.get(), kwargs.get()));
}

// Steps 4 to 11: every exception raised here is captured by the failure path. An
// earlier run's record goes first, so that a failure whose own record cannot be
// written never leaves an old success standing beside it.
bool run_asset(const Host& host, const OutputDir& out, const Request& request) {
    if (!remove_result_record(out)) return false;
    Ref module_name = new_str(request.module_name);
    if (!module_name) return false;
    Ref module = call_method<"import_module">(host.importlib.get(), module_name.get());
    if (!module) return false;
    Ref function_name = new_str(request.function_name);
    if (!function_name) return false;
    Ref found = Ref::steal(PyObject_GetAttr(module.get(), function_name.get()));
    if (!found) return false;
    Ref fn = target_function(found.get());
    if (!fn) return false;
    Ref value = call_asset(host, fn.get(), request.input_kwargs_json);
    if (!value) return false;

    SuccessRecord record;
    if (!write_value_file(out, host.json.get(), value.get(), record.value_path)) return false;
    // A value computed is never recorded as a failure for an annotation that does not
    // evaluate: its signature text then shows the annotation as written.
    Ref signature = signature_of<"FORWARDREF">(host.inspect.get(), fn.get());
    if (!signature) return false;
    Ref signature_text = Ref::steal(PyObject_Str(signature.get()));
    if (!signature_text || !text_of(signature_text.get(), record.signature)) return false;
    Ref type_name = attr<"__name__">(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    if (!type_name || !text_of(type_name.get(), record.result_type)) return false;
    record.module_path = request.module_name;
    record.function_name = request.function_name;
    return write_success_record(out, record);
}

template <class Body>
bool while_handling(PyObject* exc, Body&& body) {
    Ref previous = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(exc);
    bool ok = body();
    PyErr_SetHandledException(previous.get());
    return ok;
}

// Steps 13 to 17: record the captured exception, then end with sys.exit(1).
PyObject* fail(const OutputDir& out) {
    Ref captured = Ref::steal(PyErr_GetRaisedException());
    std::optional<std::string> error = exception_text(captured.get());
    if (!error) return nullptr;
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(captured.get())));
    if (!type_name) return nullptr;
    std::optional<std::string> error_type = lossy_utf8(type_name.get());
    if (!error_type) return nullptr;
    // Written as if inside an except clause: an exception raised by the write carries
    // the asset's exception as its __context__, so the cause is not lost.
    if (!while_handling(captured.get(), [&] { return write_failure_record(out, *error, *error_type); })) {
        return nullptr;
    }
    Ref sys = import_module<"sys">();
    if (!sys) return nullptr;
    Ref code = Ref::steal(PyLong_FromLong(1));
    if (!code) return nullptr;
    Ref exited = call_method<"exit">(sys.get(), code.get());
    if (!exited) return nullptr;  // the SystemExit: the normal end of a failed run
    Py_RETURN_NONE;
}

}  // namespace

PyObject* materialize_asset_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[4];
        if (!bind_arguments(kSignature, args, nargsf, kwnames, bound)) return nullptr;
        Request request;
        if (!text_argument(bound[0], "module_name", request.module_name) ||
            !text_argument(bound[1], "function_name", request.function_name) ||
            !text_argument(bound[2], "output_dir", request.output_dir) ||
            !optional_text_argument(bound[3], "input_kwargs_json", request.input_kwargs_json)) {
            return nullptr;
        }
        // Setup: failures here leave the call unchanged and write no file.
        Host host;
        if (!host.import()) return nullptr;
        OutputDir out;
        if (!prepare_output_dir(host.pathlib.get(), request.output_dir, out)) return nullptr;

        if (!run_asset(host, out, request)) return fail(out);
        Py_RETURN_NONE;
    });
}

}  // namespace tolva
