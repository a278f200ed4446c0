// zentab_api.python_api.auth.local.keyfolio (being built).
#include "contracts/contracts.hpp"

namespace {
using namespace contracts;
constexpr Import imports[] = {{"typing", {{{"List"}}}}};
const FunctionSpec functions[1] = {};
}  // namespace

namespace contracts {
ModuleDef keyfolio_module{
    .qualified_name = "zentab_api.python_api.auth.local.keyfolio",
    .short_name = "keyfolio",
    .source_file = "zentab_api/python_api/auth/local/keyfolio.cpp",
    .imports = imports,
    .functions = std::span<const FunctionSpec>(functions, 0),
};
}  // namespace contracts

PyMODINIT_FUNC PyInit_keyfolio() { return contracts::init<contracts::keyfolio_module>(); }
