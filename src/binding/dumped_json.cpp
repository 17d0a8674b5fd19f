/* src/binding/dumped_json.cpp: Python objects to JSON values through the host's json.dumps */
#include "binding/dumped_json.hpp"

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

}  // namespace tolva
