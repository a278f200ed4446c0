// UTF-8 bytes to a str, as bytes.decode("utf-8", "replace") gives it, made in
// one allocation of the exact size and kind: the host's decoder starts from an
// ASCII guess and widens and shrinks its string as it goes.
#pragma once

#include <Python.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace utf8 {

using Byte = unsigned char;

// How many bytes from `p` on are ASCII.
inline std::size_t ascii_prefix(const unsigned char* p, std::size_t n) noexcept {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const auto high = static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i))));
        if (high) return i + static_cast<std::size_t>(__builtin_ctz(high));
    }
#endif
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (const std::uint64_t high = word & 0x8080808080808080u) return i + static_cast<std::size_t>(__builtin_ctzll(high)) / 8;
    }
    for (; i < n; ++i)
        if (p[i] & 0x80) return i;
    return n;
}

inline constexpr Py_UCS4 replacement = 0xFFFD;

// The character that starts at the non-ASCII byte `*p`, `p` moved past it. An
// ill-formed sequence gives one U+FFFD for its longest start that could still
// have become a character (at least one byte), as the host's decoder does;
// one cut off by the end gives one U+FFFD for what is there.
inline Py_UCS4 next(const unsigned char*& p, const unsigned char* end) noexcept {
    const unsigned lead = *p++;
    unsigned follow;  // continuation bytes wanted
    unsigned lo = 0x80, hi = 0xBF;  // the range of the first of them: no overlong forms, surrogates or > U+10FFFF
    Py_UCS4 c;
    if (lead < 0xC2) return replacement;
    if (lead < 0xE0) {
        follow = 1;
        c = lead & 0x1F;
    } else if (lead < 0xF0) {
        follow = 2;
        c = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead < 0xF5) {
        follow = 3;
        c = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return replacement;
    }
    if (p == end || *p < lo || *p > hi) return replacement;
    c = (c << 6) | (*p++ & 0x3Fu);
    while (--follow) {
        if (p == end || (*p & 0xC0) != 0x80) return replacement;
        c = (c << 6) | (*p++ & 0x3Fu);
    }
    return c;
}

// Eight ASCII bytes as eight characters of the string's width.
template <class Char>
inline void put8(Char* out, const Byte* p) noexcept {
    if constexpr (sizeof(Char) == 1) {
        std::memcpy(out, p, 8);
    } else {
#if defined(__SSE2__)
        if constexpr (sizeof(Char) == 2) {
            const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, _mm_setzero_si128()));
            return;
        }
#endif
        for (int i = 0; i < 8; ++i) out[i] = p[i];
    }
}

// The text of [p, end) into `out`, which has room for exactly its characters:
// `ascii` bytes of plain ASCII first, the rest as it comes. ASCII goes eight
// bytes at a time while a whole word of it is there: each byte is then one
// character, so this never writes past the string.
template <class Char>
void fill(Char* out, const Byte* p, const Byte* end, std::size_t ascii) noexcept {
    if constexpr (sizeof(Char) == 1) {
        std::memcpy(out, p, ascii);
    } else {
        for (std::size_t i = 0; i < ascii; ++i) out[i] = p[i];
    }
    out += ascii;
    p += ascii;
    while (p < end) {
        if (*p >= 0x80) {
            *out++ = static_cast<Char>(next(p, end));
            continue;
        }
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (word & 0x8080808080808080u) break;
            put8(out, p);
            out += 8;
            p += 8;
        }
        while (p < end && *p < 0x80) *out++ = *p++;
    }
}

// A new reference, or NULL with MemoryError set.
inline PyObject* decode_replace(const char* text, std::size_t size) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const auto* end = p + size;
    const std::size_t ascii = ascii_prefix(p, size);
    if (ascii == size) {
        PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
        // An empty record may have no bytes at all (and gets the shared empty string).
        if (result && size) std::memcpy(PyUnicode_1BYTE_DATA(result), text, size);
        return result;
    }
    // One pass for the length and the widest character, then the string is made and filled.
    std::size_t length = ascii;
    Py_UCS4 widest = 127;
    for (const unsigned char* q = p + ascii; q < end;) {
        if (*q < 0x80) {
            const std::size_t run = ascii_prefix(q, static_cast<std::size_t>(end - q));
            length += run;
            q += run;
            continue;
        }
        const Py_UCS4 c = next(q, end);
        if (c > widest) widest = c;
        ++length;
    }
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(length), widest);
    if (!result) return nullptr;
    switch (PyUnicode_KIND(result)) {
        case PyUnicode_1BYTE_KIND: fill(PyUnicode_1BYTE_DATA(result), p, end, ascii); break;
        case PyUnicode_2BYTE_KIND: fill(PyUnicode_2BYTE_DATA(result), p, end, ascii); break;
        default: fill(PyUnicode_4BYTE_DATA(result), p, end, ascii); break;
    }
    return result;
}

}  // namespace utf8
