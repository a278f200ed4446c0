// Everything a module file needs: references and names, Task bodies with
// await and async with, function tables and module tables.
#pragma once

#include "async_with.hpp"
#include "function.hpp"
#include "module.hpp"
#include "py.hpp"
#include "task.hpp"

namespace contracts {
using py::await;
using py::async_with;
using py::Task;
using py::Method;
using py::operator""_n;
using py::operator""_kw;
using py::operator""_s;
}  // namespace contracts
