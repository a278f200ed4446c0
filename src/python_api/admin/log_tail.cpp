#include "log_tail.hpp"
#include "utf8.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

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

// One log file, opened with open_regular, read through its descriptor.
class LogFile {
public:
    explicit LogFile(const Ref& path) {
        const Opened opened = open_regular(path);
        fd_ = opened.fd;
        size = opened.size;
    }
    ~LogFile() { close(); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    void close() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Reads up to `len` bytes at `offset`; fewer only at the end of the file.
    std::size_t read(char* dst, std::size_t len, std::int64_t offset) {
        std::size_t done = 0;
        while (done < len) {
            ssize_t got;
            int err;
            Py_BEGIN_ALLOW_THREADS
            got = ::pread(fd_, dst + done, len - done, static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
            err = errno;
            Py_END_ALLOW_THREADS
            if (got > 0) {
                done += static_cast<std::size_t>(got);
            } else if (got == 0) {
                break;
            } else if (err == EINTR) {
                if (PyErr_CheckSignals() < 0) py::raise();
            } else {
                errno = err;
                PyErr_SetFromErrno(PyExc_OSError);
                py::raise();
            }
        }
        return done;
    }

    std::int64_t size = 0;

private:
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
Verdict verdict_at(const char* p, int i) {
    const auto c = static_cast<unsigned char>(p[i]);
    return shape[i] == 'd' && c >= 0x80 ? Verdict::ask : Verdict::no;
}

Verdict classify(const char* p, const char* limit) {
#if defined(__SSE2__)
    // Every line is judged: all 24 positions at once, in two overlapping loads.
    if (limit - p >= shape_length) {
        static_assert(shape_length == 24);
        auto fits = [](const char* at, const char* want, const char* digits) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            const __m128i offset = _mm_sub_epi8(v, _mm_set1_epi8('0'));
            const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(9)), offset);
            const __m128i is_shape = _mm_cmpeq_epi8(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(want)));
            const __m128i digit_here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits));
            const __m128i ok = _mm_or_si128(_mm_and_si128(digit_here, is_digit), _mm_andnot_si128(digit_here, is_shape));
            return static_cast<std::uint32_t>(_mm_movemask_epi8(ok));
        };
        alignas(16) static constexpr char digits[24] = {-1, -1, -1, -1, 0, -1, -1, 0, -1, -1, 0, -1,
                                                        -1, 0, -1, -1, 0, -1, -1, 0, -1, -1, -1, 0};
        const std::uint32_t m = fits(p, shape, digits) | ((fits(p + 8, shape + 8, digits + 8) >> 8) << 16);
        if (m == 0xFFFFFFu) return Verdict::yes;
        return verdict_at(p, __builtin_ctz(~m));
    }
#endif
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

// Called for every line: most lines that start no record fail at their first
// byte, and only a line with a non-ASCII digit goes to the pattern itself.
inline bool starts_record(const Ref& pattern, const char* p, const char* limit) {
    if (p >= limit) return false;
    const auto first = static_cast<unsigned char>(*p);
    if (static_cast<unsigned>(first - '0') > 9u && first < 0x80) return false;
    switch (classify(p, limit)) {
        case Verdict::yes: return true;
        case Verdict::no: return false;
        case Verdict::ask: break;
    }
    return pattern_matches(pattern, p, limit);
}

// The line breaks ('\n' and '\r') among 64 bytes (fewer at the end), one bit each.
std::uint64_t breaks_in(const char* p, std::ptrdiff_t n) {
#if defined(__SSE2__)
    if (n == 64) {
        std::uint64_t m = 0;
        const __m128i lf = _mm_set1_epi8('\n');
        const __m128i cr = _mm_set1_epi8('\r');
        for (int i = 0; i < 4; ++i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr));
            m |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(hit))) << (16 * i);
        }
        return m;
    }
#endif
    std::uint64_t m = 0;
    for (std::ptrdiff_t i = 0; i < n; ++i)
        if (p[i] == '\n' || p[i] == '\r') m |= std::uint64_t{1} << i;
    return m;
}

// Calls f(b) for each line break byte of [p, end), in order. Both bytes are
// looked for in one pass, 64 bytes at a time: log lines are short, and a
// search per line and per byte costs more than the bytes.
template <class F>
void for_each_break(const char* p, const char* end, F&& f) {
    for (; p < end; p += 64) {
        for (std::uint64_t m = breaks_in(p, std::min<std::ptrdiff_t>(64, end - p)); m; m &= m - 1)
            f(p + __builtin_ctzll(m));
    }
}

// Calls f(start, length, brk) for each line of [p, end) that a line break
// ends ('\n', or '\r' alone or in "\r\n"; brk is its first byte, left off the
// line); returns the start of what follows the last break.
template <class F>
const char* for_each_ended_line(const char* p, const char* end, F&& f) {
    const char* line = p;
    for_each_break(p, end, [&](const char* b) {
        if (b < line) return;  // the '\n' of a "\r\n"
        f(line, static_cast<std::size_t>(b - line), b);
        line = b + 1;
        if (*b == '\r' && line < end && *line == '\n') ++line;
    });
    return line;
}

// Calls f(start, length) for each line of [p, end), its line break left off;
// `end` is the end of the file or the start of a line.
template <class F>
void for_each_line(const char* p, const char* end, F&& f) {
    const char* rest = for_each_ended_line(p, end, [&](const char* line, std::size_t length, const char*) {
        f(line, length);
    });
    if (rest < end) f(rest, static_cast<std::size_t>(end - rest));
}

// Where a pending record's bytes lie in the files: lines of one file from
// `begin` to `end`, their line breaks still as written.
struct Segment {
    int file;
    std::int64_t begin;
    std::int64_t end;
};

// A record grown past this is no longer copied: it is decoded from the files
// at its end, so memory holds the records returned and bounded buffers.
constexpr std::size_t spill_limit = 1024 * 1024;
// Bytes read at a time, forward.
constexpr std::size_t chunk_size = 128 * 1024;

// Lines in, records out: a line that starts a record closes the one pending;
// any other line joins it, after a line feed. Lines come in pieces, each with
// its place in its file. While a pending record's lines lie one after another
// in the caller's memory, joined by single '\n', it is only remembered as that
// span and decoded from there; otherwise its text is copied, up to
// spill_limit, and past that only its place in the files is kept.
class Grouper {
public:
    explicit Grouper(const Ref& pattern) : pattern_(pattern) {}
    ~Grouper() {
        for (PyObject* record : records_) Py_DECREF(record);
    }
    Grouper(const Grouper&) = delete;
    Grouper& operator=(const Grouper&) = delete;

    void use_file(int index, LogFile* file) { files_[index] = file; }

    // [p, p + length) at `offset` of file `file`: a line's start when
    // `starts_line` (the whole line, or at least prefix_bytes of it), else
    // more of the line before.
    void piece(const char* p, std::size_t length, int file, std::int64_t offset, bool starts_line) {
        const std::int64_t end = offset + static_cast<std::int64_t>(length);
        if (!starts_line) {
            segments_[segment_count_ - 1].end = end;
            if (large_) return;
            if (span_begin_ && p == span_end_) {
                span_end_ = p + length;
                return;
            }
            detach();
            append(p, length);
            return;
        }
        if (pending_ && starts_record(pattern_, p, p + length)) flush();
        if (!pending_) {
            pending_ = true;
            large_ = false;
            segments_[0] = {file, offset, end};
            segment_count_ = 1;
            span_begin_ = p;
            span_end_ = p + length;
            return;
        }
        if (segments_[segment_count_ - 1].file == file) {
            segments_[segment_count_ - 1].end = end;
        } else {
            segments_[segment_count_++] = {file, offset, end};
        }
        if (large_) return;
        if (span_begin_ && p == span_end_ + 1 && *span_end_ == '\n') {
            span_end_ = p + length;
            return;
        }
        detach();
        append("\n", 1);
        append(p, length);
    }
    // The memory the pending span lies in is about to change: copy it out.
    void detach() {
        if (!span_begin_) return;
        const char* begin = span_begin_;
        span_begin_ = nullptr;
        record_.clear();
        append(begin, static_cast<std::size_t>(span_end_ - begin));
        span_end_ = nullptr;
    }
    Ref finish() {
        if (pending_) flush();
        // The list made once at its size: growing it record by record copies it over and over.
        Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(records_.size())));
        for (std::size_t i = 0; i < records_.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), records_[i]);
        records_.clear();
        return list;
    }

private:
    void append(const char* p, std::size_t length) {
        if (large_) return;
        if (record_.size() + length > spill_limit) {
            large_ = true;
            record_.clear();
            return;
        }
        record_.append(p, length);
    }

    void flush() {
        Ref record;
        if (large_) {
            record = decode_segments();
        } else {
            const char* text = span_begin_ ? span_begin_ : record_.data();
            const auto size = span_begin_ ? span_end_ - span_begin_ : static_cast<std::ptrdiff_t>(record_.size());
            record = Ref::checked(utf8::decode_replace(text, static_cast<std::size_t>(size)));
        }
        records_.push_back(nullptr);  // may throw: the record is still owned until stored
        records_.back() = record.release();
        record_.clear();
        span_begin_ = span_end_ = nullptr;
        pending_ = large_ = false;
    }

    // A record too long to copy, read again from its files in two passes over
    // a bounded buffer: one for its length and widest character, one to
    // decode into the string made for it. Decoding in pieces gives what
    // decoding at once gives: incomplete sequences are carried over.
    Ref decode_segments() {
        Py_ssize_t length = segment_count_ - 1;  // the line feeds between files
        Py_UCS4 widest = '\n';
        for (int i = 0; i < segment_count_; ++i) {
            decode_segment(segments_[i], [&](PyObject* text) {
                length += PyUnicode_GET_LENGTH(text);
                widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(text));
            });
        }
        Ref result = Ref::checked(PyUnicode_New(length, widest));
        Py_ssize_t at = 0;
        for (int i = 0; i < segment_count_; ++i) {
            if (i > 0) py::check(PyUnicode_WriteChar(result.get(), at++, '\n'));
            decode_segment(segments_[i], [&](PyObject* text) {
                const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
                if (at + n > length || PyUnicode_MAX_CHAR_VALUE(text) > widest) throw Fallback{};  // changed
                if (PyUnicode_CopyCharacters(result.get(), at, text, 0, n) < 0) py::raise();
                at += n;
            });
        }
        if (at != length) throw Fallback{};
        return result;
    }

    // Calls f with the text of a segment, piece by piece, its line breaks made '\n'.
    template <class F>
    void decode_segment(const Segment& segment, F&& f) {
        LogFile& file = *files_[segment.file];
        work_.reserve(chunk_size + 4);
        std::size_t carried = 0;  // the start of a sequence cut at the last piece's end
        bool skip_lf = false;     // the last piece ended in '\r'
        for (std::int64_t offset = segment.begin; offset < segment.end;) {
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(chunk_size, segment.end - offset));
            char* raw = work_.data() + carried;
            if (file.read(raw, want, offset) != want) throw Fallback{};  // shrank
            offset += static_cast<std::int64_t>(want);
            // Line breaks to '\n', in place: the text only shrinks.
            const char* in = raw;
            const char* end = raw + want;
            char* out = raw;
            if (skip_lf && in < end && *in == '\n') ++in;
            skip_lf = false;
            while (in < end) {
                auto* cr = static_cast<const char*>(std::memchr(in, '\r', static_cast<std::size_t>(end - in)));
                const char* stop = cr ? cr : end;
                if (out != in) std::memmove(out, in, static_cast<std::size_t>(stop - in));
                out += stop - in;
                if (!cr) break;
                *out++ = '\n';
                in = cr + 1;
                if (in == end) {
                    skip_lf = true;
                } else if (*in == '\n') {
                    ++in;
                }
            }
            const bool last = offset >= segment.end;
            const auto size = static_cast<Py_ssize_t>(out - work_.data());
            Py_ssize_t consumed = size;
            Ref text = Ref::checked(
                PyUnicode_DecodeUTF8Stateful(work_.data(), size, "replace", last ? nullptr : &consumed));
            f(text.get());
            carried = static_cast<std::size_t>(size - consumed);
            std::memmove(work_.data(), work_.data() + consumed, carried);
        }
    }

    Ref pattern_;
    std::vector<PyObject*> records_;
    Buffer record_;
    Buffer work_;
    LogFile* files_[2] = {nullptr, nullptr};
    Segment segments_[2] = {};
    int segment_count_ = 0;
    const char* span_begin_ = nullptr;
    const char* span_end_ = nullptr;
    bool pending_ = false;
    bool large_ = false;
};

// ---- forward ------------------------------------------------------------------

// Feeds the lines of file number `index` from `from` to its end, read in
// chunks small enough to be scanned while still in cache. Nothing is scanned
// twice but the start of a line cut at a chunk's end, when it is too short to
// be judged yet (at most prefix_bytes).
void read_forward(LogFile& file, int index, std::int64_t from, Grouper& group, Buffer& buffer) {
    buffer.reserve(chunk_size + prefix_bytes);
    std::size_t held = 0;              // a line's start, at the buffer's start
    std::int64_t base_offset = from;   // the file offset of the buffer's start
    bool at_line_start = true;
    bool skip_lf = false;              // the last chunk ended in '\r', which may be "\r\n"
    for (;;) {
        const std::size_t got = file.read(buffer.data() + held, chunk_size, base_offset + static_cast<std::int64_t>(held));
        const bool eof = got < chunk_size;
        const char* base = buffer.data();
        const char* p = base;
        const char* end = base + held + got;
        auto offset_of = [&](const char* q) { return base_offset + (q - base); };
        if (skip_lf && p < end && *p == '\n') ++p;
        skip_lf = false;
        const char* line = for_each_ended_line(p, end, [&](const char* q, std::size_t length, const char* b) {
            group.piece(q, length, index, offset_of(q), at_line_start);
            at_line_start = true;
            if (*b == '\r' && b + 1 == end && !eof) skip_lf = true;  // a "\r\n" may be cut here
        });
        // What is left has no line break: the line goes on past this chunk
        // (or ends the file); its start is kept for the next chunk when it is
        // too short to be judged yet.
        if (line < end && (eof || !at_line_start || end - line > prefix_bytes)) {
            group.piece(line, static_cast<std::size_t>(end - line), index, offset_of(line), at_line_start);
            at_line_start = eof;
            line = end;
        }
        p = line;
        group.detach();
        if (eof) return;
        held = static_cast<std::size_t>(end - p);
        base_offset = offset_of(p);
        std::memmove(buffer.data(), p, held);
    }
}

// ---- backward, for the last n -------------------------------------------------

// Memory kept of a file's end while walking back; past it only a window slides.
constexpr std::size_t window_limit = 2 * 1024 * 1024;
// Kept of the bytes above a window: enough to judge a line starting just below.
constexpr std::size_t window_overlap = 128;
static_assert(window_overlap > prefix_bytes);

// The end of a file, read backwards in blocks as far as needed: memory holds
// [lo, hi), contiguous, at the end of the buffer; hi is the file's size until
// what is held would pass window_limit.
class Tail {
public:
    explicit Tail(LogFile& file) : file_(file), size(file.size), lo(file.size), hi(file.size) {}

    const char* at(std::int64_t offset) const {
        return buffer_.data() + (buffer_.capacity() - static_cast<std::size_t>(hi - offset));
    }
    // Whether memory holds everything from `offset` to the file's end.
    bool holds_from(std::int64_t offset) const { return hi == size && offset >= lo; }

    void extend() {
        const std::int64_t block = std::min<std::int64_t>(block_size, lo);
        auto held = static_cast<std::size_t>(hi - lo);
        if (held + static_cast<std::size_t>(block) > window_limit) {
            const std::size_t keep = std::min(held, window_overlap);
            std::memmove(buffer_.data() + buffer_.capacity() - keep, at(lo), keep);
            hi = lo + static_cast<std::int64_t>(keep);
            held = keep;
        }
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
    std::int64_t hi;
};

// Walks the line starts of `tail` from its end downwards, counting record
// starts on from `count`; returns the offset of the n-th, or -1 when the
// file's start came first.
std::int64_t find_record_start(Tail& tail, Py_ssize_t n, Py_ssize_t& count, const Ref& pattern) {
    constexpr std::int64_t unknown = -2;
    std::int64_t before = tail.size;  // breaks from here on are done
    std::int64_t lf = unknown, cr = unknown;
    const char* limit = tail.at(tail.hi);
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
        limit = tail.at(tail.hi);
        if (lf == -1) lf = unknown;
        if (cr == -1) cr = unknown;
    }
}

// The lines of file number `index` from `offset` on: from memory when the
// tail holds them, else read forward again.
void group_from(Tail& tail, LogFile& file, int index, std::int64_t offset, Grouper& group, Buffer& buffer) {
    if (!tail.holds_from(offset)) {
        read_forward(file, index, offset, group, buffer);
        return;
    }
    const char* held = tail.at(tail.lo);
    for_each_line(tail.at(offset), tail.at(tail.size), [&](const char* p, std::size_t length) {
        group.piece(p, length, index, tail.lo + (p - held), true);
    });
    group.detach();
}

Ref backup_of(const Ref& current) {
    Ref parent = current.attr("parent"_n);
    Ref name = current.attr("name"_n);
    Ref backup_name = Ref::checked(PyNumber_Add(name.get(), ".1"_s.get()));
    return Ref::checked(PyNumber_TrueDivide(parent.get(), backup_name.get()));
}

Ref all_records(const Ref& log_path, const Ref& backup, bool has_backup, const Ref& pattern) {
    // As the generic reader: the backup opened and read before the current
    // file is opened. Both stay open until a long record is decoded.
    Grouper group(pattern);
    Buffer buffer;
    std::optional<LogFile> older;
    if (has_backup) {
        older.emplace(backup);
        group.use_file(0, &*older);
        read_forward(*older, 0, 0, group, buffer);
    }
    LogFile newer(log_path);
    group.use_file(1, &newer);
    read_forward(newer, 1, 0, group, buffer);
    return group.finish();
}

Ref last_records(const Ref& log_path, const Ref& backup, bool has_backup, Py_ssize_t n, const Ref& pattern) {
    std::optional<LogFile> older;
    if (has_backup) older.emplace(backup);
    LogFile newer(log_path);

    Grouper group(pattern);
    if (older) group.use_file(0, &*older);
    group.use_file(1, &newer);
    Buffer buffer;
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
            group_from(previous, *older, 0, from < 0 ? 0 : from, group, buffer);
        }
    }
    group_from(current, newer, 1, start, group, buffer);
    return group.finish();
}

}  // namespace

Opened open_regular(const Ref& path) {
    Ref name = Ref::checked(PyOS_FSPath(path.get()));
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(name.get(), &converted)) py::raise();
    Ref encoded = Ref::steal(converted);
    // Non-blocking, so that opening a FIFO or a device returns at once; no
    // controlling terminal from a tty put in the log's place.
    constexpr int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (PySys_Audit("open", "OOi", name.get(), Py_None, flags) < 0) py::raise();
    auto fail = [&](int err) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
        py::raise();
    };
    int fd;
    for (;;) {
        int err;
        Py_BEGIN_ALLOW_THREADS
        fd = ::open(PyBytes_AS_STRING(encoded.get()), flags);
        err = errno;
        Py_END_ALLOW_THREADS
        if (fd >= 0) break;
        if (err != EINTR) fail(err);
        if (PyErr_CheckSignals() < 0) py::raise();
    }
    // What was opened is what is checked: no window between a look and the open.
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        fail(err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode)) fail(EISDIR);
        Ref args = Ref::checked(Py_BuildValue("(isO)", EINVAL, "Not a regular file", name.get()));
        PyErr_SetObject(PyExc_OSError, args.get());
        py::raise();
    }
    // A regular file never blocks; reads go on as usual.
    const int status = fcntl(fd, F_GETFL);
    if (status == -1 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == -1) {
        const int err = errno;
        ::close(fd);
        fail(err);
    }
    return {fd, static_cast<std::int64_t>(st.st_size)};
}

Ref open_text(const Ref& path) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(path.get()));
    const bool path_like = PyUnicode_Check(path.get()) || PyBytes_Check(path.get()) ||
                           PyObject_HasAttrString(type, "__fspath__");
    if (!path_like) return path.method("open"_n)({"r"_s, "encoding"_kw = "utf-8"_s, "errors"_kw = "replace"_s});
    const Opened opened = open_regular(path);
    Ref io = Ref::checked(PyImport_ImportModule("io"));
    Ref fd = Ref::steal(PyLong_FromLong(opened.fd));
    Ref raw = fd ? Ref::steal(PyObject_CallMethod(io.get(), "FileIO", "Os", fd.get(), "r")) : Ref();
    if (!raw) {
        ::close(opened.fd);
        py::raise();
    }
    // From here the raw file owns the descriptor.
    try {
        Ref buffered = io.attr("BufferedReader"_n)({raw});
        return io.attr("TextIOWrapper"_n)({buffered, "encoding"_kw = "utf-8"_s, "errors"_kw = "replace"_s});
    } catch (py::PyError&) {
        PyObject* result = PyObject_CallMethod(raw.get(), "close", nullptr);
        if (result) {
            Py_DECREF(result);
        } else {
            PyErr_Clear();
        }
        throw;
    }
}

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
