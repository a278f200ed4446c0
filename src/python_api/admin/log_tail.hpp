// The native reader behind get_recent_log_lines: the same records as the
// module's generators give, without going through them line by line.
#pragma once

#include "contracts/py.hpp"

namespace log_tail {

// Blocks read backwards from the end of a file for n > 0.
inline constexpr Py_ssize_t block_size = 64 * 1024;

// The records of `log_path`'s backup and current file: the last `n`, or all of
// them when `n` is -1. The files are opened as the generic reader opens them
// (the backup first when it exists, then the current file) so that the same
// errors come in the same order; `pattern` decides lines whose timestamp
// prefix is not plain ASCII. An empty Ref means this reader cannot serve the
// files (not regular files, or one shrank while read): take the generic path.
py::Ref recent_records(const py::Ref& log_path, Py_ssize_t n, const py::Ref& pattern);

}  // namespace log_tail
