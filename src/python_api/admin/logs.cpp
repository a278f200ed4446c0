// zentab_api.python_api.admin.logs (being built).
#include "contracts/contracts.hpp"

namespace {
using namespace contracts;
constexpr Import imports[] = {{"typing", {{{"List"}}}}};
const FunctionSpec functions[1] = {};
}  // namespace

namespace contracts {
ModuleDef logs_module{
    .qualified_name = "zentab_api.python_api.admin.logs",
    .short_name = "logs",
    .source_file = "zentab_api/python_api/admin/logs.cpp",
    .imports = imports,
    .functions = std::span<const FunctionSpec>(functions, 0),
};
}  // namespace contracts

PyMODINIT_FUNC PyInit_logs() { return contracts::init<contracts::logs_module>(); }
