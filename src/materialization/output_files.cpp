/* src/materialization/output_files.cpp: preparing the output directory and writing its two files */
#include "materialization/output_files.hpp"

#include <initializer_list>
#include <unistd.h>

#include "binding/errors.hpp"
#include "binding/host.hpp"
#include "json_text/json_text.hpp"

namespace tolva {

namespace {

Ref child(PyObject* dir, const char* name) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return nullptr;
    return call_method<"__truediv__">(dir, text.get());
}

// The name of a temporary file beside the final one, unique to this process and write.
Ref temporary_sibling(PyObject* path) {
    static unsigned long counter = 0;
    Ref name = attr<"name">(path);
    if (!name) return nullptr;
    Ref temp_name = Ref::steal(PyUnicode_FromFormat(".%U.%ld.%lu.tmp", name.get(), static_cast<long>(getpid()), ++counter));
    if (!temp_name) return nullptr;
    return call_method<"with_name">(path, temp_name.get());
}

// An OSError from writing or renaming the temporary file names the final path.
void name_final_path(PyObject* exc, PyObject* path) {
    if (!PyErr_GivenExceptionMatches(exc, PyExc_OSError)) return;
    Ref text = Ref::steal(PyObject_Str(path));
    // Deleting filename2 drops the "-> temporary" half that os.replace adds.
    if (!text || PyObject_SetAttrString(exc, "filename", text.get()) < 0 ||
        PyObject_DelAttrString(exc, "filename2") < 0) {
        PyErr_Clear();  // the original exception still tells what went wrong
    }
}

// Writes the text beside the target and renames it over the target, so a reader (or a
// worker killed mid-write) sees the old file or the new one, whole, never a torn one.
bool write_text_atomically(PyObject* path, std::string_view text) {
    Ref os = import_module<"os">();
    if (!os) return false;
    Ref temp = temporary_sibling(path);
    if (!temp) return false;
    Ref content = new_str(text);
    if (!content) return false;
    Ref encoding = Ref::steal(PyUnicode_FromString("utf-8"));
    if (!encoding) return false;
    Ref written = call_method<"write_text">(temp.get(), content.get(), encoding.get());
    Ref replaced = written ? call_method<"replace">(os.get(), temp.get(), path) : nullptr;
    if (replaced) return true;
    // Leave nothing behind; the write's own exception is the one reported, naming the
    // file the caller asked for rather than the temporary one.
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    if (!call_method<"unlink">(temp.get(), Py_True)) PyErr_Clear();
    name_final_path(failure.get(), path);
    PyErr_SetRaisedException(failure.release());
    return false;
}

// path.method(option=True, ...): the pathlib calls here take only such flags.
template <Name method>
bool call_with_options(PyObject* path, std::initializer_list<const char*> options) {
    Ref bound = attr<method>(path);
    if (!bound) return false;
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!no_args || !kwargs) return false;
    for (const char* option : options) {
        if (PyDict_SetItemString(kwargs.get(), option, Py_True) < 0) return false;
    }
    return static_cast<bool>(Ref::steal(PyObject_Call(bound.get(), no_args.get(), kwargs.get())));
}

bool write_record(const OutputDir& out, json::Value::Object members) {
    std::string text = json::write(json::Value(std::move(members)));
    return write_text_atomically(out.result_path.get(), text);
}

}  // namespace

bool prepare_output_dir(PyObject* pathlib, std::string_view output_dir, OutputDir& out) {
    Ref dir_text = new_str(output_dir);
    if (!dir_text) return false;
    out.dir = call_method<"Path">(pathlib, dir_text.get());
    if (!out.dir) return false;
    if (!call_with_options<"mkdir">(out.dir.get(), {"parents", "exist_ok"})) return false;
    out.result_path = child(out.dir.get(), "result.json");
    return static_cast<bool>(out.result_path);
}

bool remove_result_record(const OutputDir& out) {
    return call_with_options<"unlink">(out.result_path.get(), {"missing_ok"});
}

bool write_value_file(const OutputDir& out, PyObject* json_module, PyObject* value, std::string& value_path) {
    Ref path = child(out.dir.get(), "value.json");
    if (!path) return false;
    Ref dumped = call_method<"dumps">(json_module, value);
    if (!dumped) return false;
    std::string text;
    if (!text_of(dumped.get(), text)) return false;
    if (!write_text_atomically(path.get(), text)) return false;
    Ref path_text = Ref::steal(PyObject_Str(path.get()));
    return path_text && text_of(path_text.get(), value_path);
}

bool write_success_record(const OutputDir& out, const SuccessRecord& record) {
    return write_record(out, {
                                 {"artifact_format", "json"},
                                 {"function_name", record.function_name},
                                 {"module_path", record.module_path},
                                 {"ok", true},
                                 {"result_type", record.result_type},
                                 {"signature", record.signature},
                                 {"value_path", record.value_path},
                             });
}

bool write_failure_record(const OutputDir& out, const std::string& error, const std::string& error_type) {
    return write_record(out, {{"error", error}, {"error_type", error_type}, {"ok", false}});
}

}  // namespace tolva
