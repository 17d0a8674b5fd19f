/* src/inspection/inspect_modules.cpp: inspect_modules(modules) and the asset record */
#include "inspection/inspect_modules.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "binding/args.hpp"
#include "binding/dumped_json.hpp"
#include "binding/errors.hpp"
#include "binding/host.hpp"
#include "declaration/asset.hpp"
#include "json_text/json_text.hpp"

namespace tolva {

const char kInspectModulesDoc[] =
    "inspect_modules(modules)\n"
    "--\n"
    "\n"
    "Inspect modules for tolva assets. Called by the `python -m tolva.inspect` CLI stub.\n"
    "\n"
    "Imports each module, finds functions with `__tolva_kind__ == \"asset\"`,\n"
    "extracts source and metadata, returns JSON string to stdout.";

namespace {

// The host modules of one call, imported afresh so that sys.modules answers.
struct Host {
    Ref importlib, inspect, textwrap, sys, pathlib;

    bool import() {
        return (importlib = import_module<"importlib">()) && (inspect = import_module<"inspect">()) &&
               (textwrap = import_module<"textwrap">()) && (sys = import_module<"sys">()) &&
               (pathlib = import_module<"pathlib">());
    }
};

constexpr Param kParams[] = {{"modules", false, true}};
constexpr Signature kSignature{"inspect_modules", kParams};

// Any sequence but str, read by iteration; every item a str.
bool module_names(PyObject* modules, std::vector<std::string>& out) {
    if (PyUnicode_Check(modules)) {
        PyErr_SetString(PyExc_TypeError, "argument 'modules': Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(modules)) return raise_conversion_error(modules, "Sequence", "modules"), false;
    Ref iterator = Ref::steal(PyObject_GetIter(modules));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        std::string_view text;
        if (!text_argument(item.get(), "modules", text)) return false;
        out.emplace_back(text);
    }
    return !PyErr_Occurred();
}

bool read_int64(PyObject* obj, const char* name, std::int64_t& out) {
    Ref value = attr(obj, name);
    if (!value) return false;
    long long n = PyLong_AsLongLong(value.get());
    if (n == -1 && PyErr_Occurred()) return false;
    out = n;
    return true;
}

// "major.minor.micro" of sys.version_info.
bool version_text(PyObject* sys, std::string& out) {
    Ref info = attr<"version_info">(sys);
    if (!info) return false;
    std::int64_t major, minor, micro;
    if (!read_int64(info.get(), "major", major) || !read_int64(info.get(), "minor", minor) ||
        !read_int64(info.get(), "micro", micro)) {
        return false;
    }
    out = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(micro);
    return true;
}

// Writes the whole text to file descriptor 2, past short writes and interruptions.
void write_stderr(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(2, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to report to
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Reports a module that failed to import and discards its exception, unless it is a
// PanicException or the user's Ctrl-C, which end the call.
bool skip_module(const std::string& name) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject* panic = panic_type();
    if (!panic) return false;
    if (PyErr_GivenExceptionMatches(exc.get(), panic) ||
        PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyboardInterrupt)) {
        PyErr_SetRaisedException(exc.release());
        return false;
    }
    std::optional<std::string> error = exception_text(exc.get());
    if (!error) return false;
    write_stderr("tolva: skipping module '" + name + "': " + *error + "\n");
    return true;
}

// getsource -> dedent -> strip(), plus one line feed.
bool source_text(const Host& host, PyObject* obj, std::string& out) {
    Ref source = call_method<"getsource">(host.inspect.get(), obj);
    if (!source) return false;
    Ref dedented = call_method<"dedent">(host.textwrap.get(), source.get());
    if (!dedented) return false;
    Ref stripped = call_method<"strip">(dedented.get());
    if (!stripped || !text_of(stripped.get(), out)) return false;
    out.push_back('\n');
    return true;
}

// The metadata as a JSON value, by way of the host's json.dumps.
bool python_dict_to_json(PyObject* obj, json::Value& out) {
    Ref json_module = import_module<"json">();
    return json_module && dumped_json(json_module.get(), obj, PyExc_RuntimeError, "JSON parse error: ", out);
}

// The resolved source file, or "" when inspect.getsourcefile raises.
bool file_path(const Host& host, PyObject* fn, std::string& out) {
    Ref file = call_method<"getsourcefile">(host.inspect.get(), fn);
    if (!file) {
        if (!discard_error()) return false;
        out.clear();
        return true;
    }
    Ref path = call_method<"Path">(host.pathlib.get(), file.get());
    if (!path) return false;
    Ref resolved = call_method<"resolve">(path.get());
    if (!resolved) return false;
    Ref text = Ref::steal(PyObject_Str(resolved.get()));
    return text && text_of(text.get(), out);
}

// null for no annotation, a class's __name__, or str() of anything else.
bool return_type(const Host& host, PyObject* fn, json::Value& out) {
    // An annotation that does not evaluate reads as its text, as a postponed one does.
    Ref signature = signature_of<"STRING">(host.inspect.get(), fn);
    if (!signature) return false;
    Ref annotation = attr<"return_annotation">(signature.get());
    if (!annotation) return false;
    Ref signature_class = attr<"Signature">(host.inspect.get());
    if (!signature_class) return false;
    Ref empty = attr<"empty">(signature_class.get());
    if (!empty) return false;
    if (annotation.get() == empty.get()) {
        out = json::Value(nullptr);
        return true;
    }
    Ref builtins = import_module<"builtins">();
    if (!builtins) return false;
    Ref is_class = call_method<"isinstance">(builtins.get(), annotation.get(),
                               reinterpret_cast<PyObject*>(&PyType_Type));
    if (!is_class) return false;
    if (!PyBool_Check(is_class.get())) return raise_conversion_error(is_class.get(), "PyBool"), false;
    Ref text = is_class.get() == Py_True ? attr<"__name__">(annotation.get())
                                         : Ref::steal(PyObject_Str(annotation.get()));
    std::string name;
    if (!text || !text_of(text.get(), name)) return false;
    out = json::Value(std::move(name));
    return true;
}

// The output document, written record by record. A module's source is escaped once;
// each record notes where that text goes, and the final str is filled in one pass,
// copying the source into every record, so the document (quadratic in a module's
// size, as every record repeats its module's source) is written once, not grown.
class DocumentWriter {
public:
    explicit DocumentWriter(std::string version) { json::write_string(version, version_); }

    void begin_module(std::string_view module_source) {
        std::string& escaped = module_sources_.emplace_back();
        json::write_string(module_source, escaped);
    }

    // Members in ascending key order, as the writer would sort them.
    void add_record(const json::Value& metadata, std::string_view file_path, std::string_view function_name,
                    std::string_view function_source, std::string_view module_path, const json::Value& returns) {
        text_ += records_++ ? ",{" : "{";
        text_ += "\"decorator_metadata\":";
        json::write(metadata, text_);
        text_ += ",\"file_path\":";
        json::write_string(file_path, text_);
        text_ += ",\"function_name\":";
        json::write_string(function_name, text_);
        text_ += ",\"function_source\":";
        json::write_string(function_source, text_);
        text_ += ",\"kind\":\"asset\",\"module_path\":";
        json::write_string(module_path, text_);
        text_ += ",\"module_source\":";
        splices_.push_back({text_.size(), module_sources_.size() - 1});
        text_ += ",\"python_version\":";
        text_ += version_;
        text_ += ",\"return_type\":";
        json::write(returns, text_);
        text_ += "}";
    }

    Ref finish() {
        text_ += "]}";
        std::size_t size = text_.size();
        bool ascii = is_ascii(text_);
        for (const Splice& splice : splices_) size += module_sources_[splice.source].size();
        for (const std::string& source : module_sources_) ascii = ascii && is_ascii(source);
        if (!ascii) {
            std::string whole;
            whole.reserve(size);
            fill([&](const char* p, std::size_t n) { whole.append(p, n); });
            return new_str(whole);
        }
        // All ASCII: the bytes are the str's own one-byte characters.
        Ref str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
        if (!str) return nullptr;
        char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str.get()));
        fill([&](const char* p, std::size_t n) {
            std::memcpy(out, p, n);
            out += n;
        });
        return str;
    }

private:
    struct Splice {
        std::size_t at;      // offset in text_ where the module source goes
        std::size_t source;  // index in module_sources_
    };

    std::string text_ = "{\"assets\":[";
    std::size_t records_ = 0;
    std::string version_;
    std::vector<std::string> module_sources_;  // escaped, one per listed module
    std::vector<Splice> splices_;

    template <class Put>
    void fill(Put&& put) const {
        std::size_t from = 0;
        for (const Splice& splice : splices_) {
            put(text_.data() + from, splice.at - from);
            const std::string& source = module_sources_[splice.source];
            put(source.data(), source.size());
            from = splice.at;
        }
        put(text_.data() + from, text_.size() - from);
    }

    static bool is_ascii(std::string_view text) {
        unsigned char high = 0;
        for (unsigned char c : text) high |= c;
        return high < 0x80;
    }
};

// The steps run in this order on purpose: it decides which exception a faulty asset
// raises (metadata before source, source before signature).
bool add_asset_record(const Host& host, PyObject* module, PyObject* member, DocumentWriter& document) {
    Ref metadata_object = attr<"__tolva_metadata__">(member);
    if (!metadata_object) return false;
    json::Value metadata;
    if (!python_dict_to_json(metadata_object.get(), metadata)) return false;
    Ref fn = target_function(member);
    if (!fn) return false;
    std::string function_source;
    if (!source_text(host, fn.get(), function_source)) return false;
    std::string function_name;
    Ref name = attr<"__name__">(fn.get());
    if (!name || !text_of(name.get(), function_name)) return false;
    std::string path;
    if (!file_path(host, fn.get(), path)) return false;
    json::Value returns;
    if (!return_type(host, fn.get(), returns)) return false;
    std::string module_path;
    Ref module_name = attr<"__name__">(module);
    if (!module_name || !text_of(module_name.get(), module_path)) return false;
    document.add_record(metadata, path, function_name, function_source, module_path, returns);
    return true;
}

bool inspect_module(const Host& host, PyObject* module, DocumentWriter& document) {
    std::string module_source;
    if (!source_text(host, module, module_source)) return false;
    Ref members = call_method<"getmembers">(host.inspect.get(), module);
    if (!members) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(members.get()));
    if (!iterator) return false;
    document.begin_module(module_source);
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyTuple_Check(item.get())) return raise_conversion_error(item.get(), "PyTuple"), false;
        PyObject* member = PyTuple_GetItem(item.get(), 1);  // borrowed
        if (!member) return false;
        bool error;
        if (!is_asset(member, error)) {
            if (error) return false;
            continue;
        }
        if (!add_asset_record(host, module, member, document)) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

PyObject* inspect_modules_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(kSignature, args, nargsf, kwnames, bound)) return nullptr;
        std::vector<std::string> names;
        if (!module_names(bound[0], names)) return nullptr;
        Host host;
        if (!host.import()) return nullptr;
        std::string version;
        if (!version_text(host.sys.get(), version)) return nullptr;

        DocumentWriter document(version);
        for (const std::string& name : names) {
            Ref name_object = new_str(name);
            if (!name_object) return nullptr;
            Ref module = call_method<"import_module">(host.importlib.get(), name_object.get());
            if (!module) {
                if (!skip_module(name)) return nullptr;
                continue;
            }
            if (!inspect_module(host, module.get(), document)) return nullptr;
        }
        return document.finish().release();
    });
}

}  // namespace tolva
