/* src/materialization/output_files.hpp: the output directory, value.json and result.json */
#pragma once

#include <string>
#include <string_view>

#include "binding/ref.hpp"

namespace tolva {

struct OutputDir {
    Ref dir;          // pathlib.Path(output_dir)
    Ref result_path;  // dir / "result.json"
};

// Path(output_dir), mkdir(parents=True, exist_ok=True), then the result.json path.
bool prepare_output_dir(PyObject* pathlib, std::string_view output_dir, OutputDir& out);

// Removes result.json of an earlier run, if there is one.
bool remove_result_record(const OutputDir& out);

// value.json from the host's json.dumps(value); keeps str() of its path.
bool write_value_file(const OutputDir& out, PyObject* json_module, PyObject* value, std::string& value_path);

struct SuccessRecord {
    std::string value_path, result_type, module_path, function_name, signature;
};
bool write_success_record(const OutputDir& out, const SuccessRecord& record);
bool write_failure_record(const OutputDir& out, const std::string& error, const std::string& error_type);

}  // namespace tolva
