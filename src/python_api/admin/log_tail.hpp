// The native reader behind get_recent_log_lines: the same records as the
// module's generators give, without going through them line by line.
#pragma once

#include <cstdint>

#include "contracts/py.hpp"

namespace log_tail {

// Blocks read backwards from the end of a file for n > 0.
inline constexpr Py_ssize_t block_size = 64 * 1024;

// A log file opened for reading by both paths: without blocking on what the
// path names (a FIFO, a device), and refused unless the opened descriptor is a
// regular file: a directory raises IsADirectoryError, anything else an OSError
// naming the path. Errors name the path as the host's open() does.
struct Opened {
    int fd;
    std::int64_t size;
};
Opened open_regular(const py::Ref& path);

// The same file as a text file for the generic path, decoded as
// path.open("r", encoding="utf-8", errors="replace") would. An object that is
// not path-like (no __fspath__) is asked for its own open() as written.
py::Ref open_text(const py::Ref& path);

// The records of `log_path`'s backup and current file: the last `n`, or all of
// them when `n` is -1. The files are opened as the generic reader opens them
// (the backup first when it exists, then the current file) so that the same
// errors come in the same order; `pattern` decides lines whose timestamp
// prefix is not plain ASCII. An empty Ref means this reader cannot serve the
// files (one shrank or changed while read): take the generic path.
py::Ref recent_records(const py::Ref& log_path, Py_ssize_t n, const py::Ref& pattern);

}  // namespace log_tail
