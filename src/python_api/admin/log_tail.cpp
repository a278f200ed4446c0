#include "log_tail.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

namespace log_tail {

namespace {

using py::operator""_n;
using py::operator""_kw;
using py::operator""_s;
using py::Ref;

// The native reader cannot serve these files; the generic path will.
struct Fallback {};

// Bytes in memory taken from the host's raw allocator, so that tracemalloc
// accounts for the reader's buffers like for any other allocation.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() { PyMem_RawFree(data_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    void swap(Buffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    char* data() noexcept { return data_; }
    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }

    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        void* grown = PyMem_RawRealloc(data_, capacity);
        if (!grown) throw std::bad_alloc();
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
    }
    void append(const char* p, std::size_t n) {
        if (size_ + n > capacity_) reserve(std::max({capacity_ * 2, size_ + n, std::size_t{256}}));
        if (n) std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void push_back(char c) { append(&c, 1); }
    void clear() noexcept { size_ = 0; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

[[noreturn]] void raise_errno(int err) {
    errno = err;
    PyErr_SetFromErrno(PyExc_OSError);
    py::raise();
}

// One log file, opened through its path object as the generic reader opens
// it (only in binary, unbuffered), then read through its descriptor.
class LogFile {
public:
    explicit LogFile(const Ref& path) {
        raw_ = path.attr("open"_n)({"rb"_s, "buffering"_kw = py::integer(0)});
        Ref fd = raw_.attr("fileno"_n)();
        long value = PyLong_AsLong(fd.get());
        if (value == -1 && PyErr_Occurred()) py::raise();
        fd_ = static_cast<int>(value);
        struct stat st;
        if (fstat(fd_, &st) != 0) raise_errno(errno);
        regular = S_ISREG(st.st_mode);
        size = st.st_size;
    }
    ~LogFile() {
        if (!raw_) return;
        // Already leaving with an error (or falling back): closing must not replace it.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* result = PyObject_CallMethodNoArgs(raw_.get(), "close"_n);
        if (result) {
            Py_DECREF(result);
        } else {
            PyErr_Clear();
        }
        PyErr_Restore(type, value, tb);
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    void close() {
        Ref raw = std::move(raw_);
        raw.attr("close"_n)();
    }

    // Reads up to `len` bytes at `offset` (at the file position when offset < 0);
    // fewer only at the end of the file.
    std::size_t read(char* dst, std::size_t len, std::int64_t offset = -1) {
        std::size_t done = 0;
        while (done < len) {
            ssize_t got;
            int err;
            Py_BEGIN_ALLOW_THREADS
            got = offset < 0 ? ::read(fd_, dst + done, len - done)
                             : ::pread(fd_, dst + done, len - done, static_cast<off_t>(offset + done));
            err = errno;
            Py_END_ALLOW_THREADS
            if (got > 0) {
                done += static_cast<std::size_t>(got);
            } else if (got == 0) {
                break;
            } else if (err == EINTR) {
                if (PyErr_CheckSignals() < 0) py::raise();
            } else {
                raise_errno(err);
            }
        }
        return done;
    }

    bool regular = false;
    std::int64_t size = 0;

private:
    Ref raw_;
    int fd_ = -1;
};

// ---- lines and records ------------------------------------------------------

// The record-start prefix: 'd' is a digit, anything else itself.
constexpr char shape[] = "dddd-dd-dd dd:dd:dd,ddd ";
constexpr int shape_length = sizeof shape - 1;
// 24 characters take at most this many bytes, however they are encoded or replaced.
constexpr std::ptrdiff_t prefix_bytes = shape_length * 4;

enum class Verdict { no, yes, ask };

// Whether the line at `p` starts a record, judged on its bytes while they are
// plain ASCII; `ask` when a digit position holds a non-ASCII character, which
// only the pattern itself can judge (Unicode decimal digits count as digits).
// A line break ends the line and fails the shape, so `limit` may lie beyond it.
Verdict classify(const char* p, const char* limit) {
    for (int i = 0; i < shape_length; ++i) {
        if (p + i >= limit) return Verdict::no;
        const auto c = static_cast<unsigned char>(p[i]);
        if (shape[i] == 'd') {
            if (static_cast<unsigned>(c - '0') <= 9u) continue;
            return c >= 0x80 ? Verdict::ask : Verdict::no;
        }
        if (c != static_cast<unsigned char>(shape[i])) return Verdict::no;
    }
    return Verdict::yes;
}

bool pattern_matches(const Ref& pattern, const char* p, const char* limit) {
    const char* end = p;
    const char* stop = p + std::min(prefix_bytes, limit - p);
    while (end < stop && *end != '\n' && *end != '\r') ++end;
    Ref line = Ref::checked(PyUnicode_DecodeUTF8(p, end - p, "replace"));
    return pattern.method("match"_n)({line}).truth();
}

bool starts_record(const Ref& pattern, const char* p, const char* limit) {
    switch (classify(p, limit)) {
        case Verdict::yes: return true;
        case Verdict::no: return false;
        case Verdict::ask: break;
    }
    return pattern_matches(pattern, p, limit);
}

// The next line break at or after a position: '\n', or '\r' alone or in "\r\n".
class BreakFinder {
public:
    explicit BreakFinder(const char* end) : end_(end) {}
    const char* next(const char* p) {
        if (!cr_ || cr_ < p) {
            auto* found = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(end_ - p)));
            cr_ = found ? found : end_;
        }
        auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(cr_ - p)));
        return lf ? lf : cr_;
    }

private:
    const char* end_;
    const char* cr_ = nullptr;  // the next '\r' at or after the last position asked, or end_
};

// Calls f(start, length) for each line of [p, end), its line break left off;
// `end` is the end of the file or the start of a line.
template <class F>
void for_each_line(const char* p, const char* end, F&& f) {
    BreakFinder breaks(end);
    while (p < end) {
        const char* b = breaks.next(p);
        f(p, static_cast<std::size_t>(b - p));
        if (b == end) return;
        p = b + 1;
        if (*b == '\r' && p < end && *p == '\n') ++p;
    }
}

// Lines in, records out: a line that starts a record closes the one pending;
// any other line joins it, after a line feed. While a pending record's lines
// lie one after another in the caller's memory, joined by single '\n', it is
// only remembered as that span and decoded from there.
class Grouper {
public:
    explicit Grouper(const Ref& pattern) : pattern_(pattern), records_(Ref::checked(PyList_New(0))) {}

    void line(const char* p, std::size_t length) {
        if (pending_ && starts_record(pattern_, p, p + length)) flush();
        if (!pending_) {
            span_begin_ = p;
            span_end_ = p + length;
            pending_ = true;
            return;
        }
        if (span_begin_ && p == span_end_ + 1 && *span_end_ == '\n') {
            span_end_ = p + length;
            return;
        }
        detach();
        record_.push_back('\n');
        record_.append(p, length);
    }
    // The memory the pending span lies in is about to change: copy it out.
    void detach() {
        if (!span_begin_) return;
        record_.clear();
        record_.append(span_begin_, static_cast<std::size_t>(span_end_ - span_begin_));
        span_begin_ = span_end_ = nullptr;
    }
    Ref finish() {
        if (pending_) flush();
        return records_;
    }

private:
    void flush() {
        const char* text = span_begin_ ? span_begin_ : record_.data();
        const auto size = span_begin_ ? span_end_ - span_begin_ : static_cast<std::ptrdiff_t>(record_.size());
        Ref record = Ref::checked(PyUnicode_DecodeUTF8(text, size, "replace"));
        py::check(PyList_Append(records_.get(), record.get()));
        record_.clear();
        span_begin_ = span_end_ = nullptr;
        pending_ = false;
    }

    Ref pattern_;
    Ref records_;
    Buffer record_;
    const char* span_begin_ = nullptr;
    const char* span_end_ = nullptr;
    bool pending_ = false;
};

// ---- forward, for all records -------------------------------------------------

// Reads in chunks small enough to be scanned while still in cache.
void read_forward(LogFile& file, Grouper& group, Buffer& buffer) {
    constexpr std::size_t chunk = 128 * 1024;
    std::size_t held = 0;  // the unfinished last line, at the buffer's start
    for (;;) {
        buffer.reserve(held + chunk);
        const std::size_t got = file.read(buffer.data() + held, chunk);
        const bool eof = got == 0;
        const char* p = buffer.data();
        const char* end = p + held + got;
        BreakFinder breaks(end);
        while (p < end) {
            const char* b = breaks.next(p);
            // A line runs on into the next read; a '\r' at the edge may yet be "\r\n".
            if (!eof && (b == end || (*b == '\r' && b + 1 == end))) break;
            group.line(p, static_cast<std::size_t>(b - p));
            if (b == end) break;
            p = b + 1;
            if (*b == '\r' && p < end && *p == '\n') ++p;
        }
        group.detach();
        if (eof) return;
        held = static_cast<std::size_t>(end - p);
        std::memmove(buffer.data(), p, held);
    }
}

// ---- backward, for the last n -------------------------------------------------

// The end of a file, read backwards in blocks as far as needed: memory holds
// [lo, size), contiguous, at the end of the buffer.
class Tail {
public:
    explicit Tail(LogFile& file) : file_(file), size(file.size), lo(file.size) {}

    const char* at(std::int64_t offset) const {
        return buffer_.data() + (buffer_.capacity() - static_cast<std::size_t>(size - offset));
    }

    void extend() {
        const std::int64_t block = std::min<std::int64_t>(block_size, lo);
        const auto held = static_cast<std::size_t>(size - lo);
        const auto wanted = held + static_cast<std::size_t>(block);
        if (wanted > buffer_.capacity()) {
            Buffer grown;
            grown.reserve(std::max(buffer_.capacity() * 2, wanted));
            if (held) std::memcpy(grown.data() + grown.capacity() - held, at(lo), held);
            buffer_.swap(grown);
        }
        char* dst = buffer_.data() + buffer_.capacity() - wanted;
        if (file_.read(dst, static_cast<std::size_t>(block), lo - block) != static_cast<std::size_t>(block))
            throw Fallback{};  // the file shrank while being read
        lo -= block;
    }

    // The last `c` in [lo, before), or -1.
    std::int64_t find_last(char c, std::int64_t before) const {
        if (before <= lo) return -1;
        const char* base = at(lo);
        const void* found = memrchr(base, c, static_cast<std::size_t>(before - lo));
        return found ? lo + (static_cast<const char*>(found) - base) : -1;
    }

private:
    LogFile& file_;
    Buffer buffer_;

public:
    const std::int64_t size;
    std::int64_t lo;
};

// Walks the line starts of `tail` from its end downwards, counting record
// starts on from `count`; returns the offset of the n-th, or -1 when the
// file's start came first.
std::int64_t find_record_start(Tail& tail, Py_ssize_t n, Py_ssize_t& count, const Ref& pattern) {
    constexpr std::int64_t unknown = -2;
    std::int64_t before = tail.size;  // breaks from here on are done
    std::int64_t lf = unknown, cr = unknown;
    const char* limit = tail.at(tail.size);
    for (;;) {
        if (lf == unknown || lf >= before) lf = tail.find_last('\n', before);
        if (cr == unknown || cr >= before) cr = tail.find_last('\r', before);
        const std::int64_t i = std::max(lf, cr);
        if (i >= 0) {
            before = i;
            const std::int64_t s = i + 1;
            if (s >= tail.size) continue;                                // the break ends the file
            if (*tail.at(i) == '\r' && *tail.at(s) == '\n') continue;  // the '\r' of a "\r\n"
            if (starts_record(pattern, tail.at(s), limit) && ++count == n) return s;
            continue;
        }
        if (tail.lo == 0) {
            if (tail.size > 0 && starts_record(pattern, tail.at(0), limit) && ++count == n) return 0;
            return -1;
        }
        before = tail.lo;
        tail.extend();
        limit = tail.at(tail.size);
        if (lf == -1) lf = unknown;
        if (cr == -1) cr = unknown;
    }
}

void group_from(const Tail& tail, std::int64_t offset, Grouper& group) {
    for_each_line(tail.at(offset), tail.at(tail.size),
                  [&](const char* p, std::size_t length) { group.line(p, length); });
}

Ref backup_of(const Ref& current) {
    Ref parent = current.attr("parent"_n);
    Ref name = current.attr("name"_n);
    Ref backup_name = Ref::checked(PyNumber_Add(name.get(), ".1"_s.get()));
    return Ref::checked(PyNumber_TrueDivide(parent.get(), backup_name.get()));
}

Ref all_records(const Ref& log_path, const Ref& backup, bool has_backup, const Ref& pattern) {
    // As the generic reader: the backup opened, read and closed before the current file.
    Grouper group(pattern);
    Buffer buffer;
    if (has_backup) {
        LogFile older(backup);
        if (!older.regular) throw Fallback{};
        read_forward(older, group, buffer);
        older.close();
    }
    LogFile newer(log_path);
    if (!newer.regular) throw Fallback{};
    read_forward(newer, group, buffer);
    newer.close();
    return group.finish();
}

Ref last_records(const Ref& log_path, const Ref& backup, bool has_backup, Py_ssize_t n, const Ref& pattern) {
    std::optional<LogFile> older;
    if (has_backup) older.emplace(backup);
    LogFile newer(log_path);
    if (!newer.regular || (older && !older->regular)) throw Fallback{};

    Grouper group(pattern);
    Py_ssize_t count = 0;
    Tail current(newer);
    std::int64_t start = find_record_start(current, n, count, pattern);
    if (start < 0) {
        // Fewer than n records in the current file: the rest come from the
        // backup, or from the very start when there are not n in all.
        start = 0;
        if (older) {
            Tail previous(*older);
            const std::int64_t from = find_record_start(previous, n, count, pattern);
            group_from(previous, from < 0 ? 0 : from, group);
            group.detach();
        }
    }
    group_from(current, start, group);
    if (older) older->close();
    newer.close();
    return group.finish();
}

}  // namespace

Ref recent_records(const Ref& log_path, Py_ssize_t n, const Ref& pattern) {
    try {
        Ref backup = backup_of(log_path);
        const bool has_backup = backup.attr("exists"_n)().truth();
        if (n < 0) return all_records(log_path, backup, has_backup, pattern);
        return last_records(log_path, backup, has_backup, n, pattern);
    } catch (Fallback&) {
        return Ref();
    }
}

}  // namespace log_tail
