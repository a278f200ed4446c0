// zentab_api.python_api.sync.parcelry (being built).
#include "contracts/contracts.hpp"

namespace {
using namespace contracts;
constexpr Import imports[] = {{"typing", {{{"List"}}}}};
const FunctionSpec functions[1] = {};
}  // namespace

namespace contracts {
ModuleDef parcelry_module{
    .qualified_name = "zentab_api.python_api.sync.parcelry",
    .short_name = "parcelry",
    .source_file = "zentab_api/python_api/sync/parcelry.cpp",
    .imports = imports,
    .functions = std::span<const FunctionSpec>(functions, 0),
};
}  // namespace contracts

PyMODINIT_FUNC PyInit_parcelry() { return contracts::init<contracts::parcelry_module>(); }
