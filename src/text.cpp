// SPDX-License-Identifier: MIT
#include "text.h"

#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <climits>
#include <cstring>
#include <new>

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of `s[0..len)` without a trailing UTF-8 sequence that was cut short.
size_t drop_partial_utf8(const char *s, size_t len)
{
    size_t start = len;
    while (start > 0 && is_continuation((unsigned char)s[start - 1]))
        start--;
    if (start == 0)
        return len;
    unsigned char lead = (unsigned char)s[start - 1];
    size_t need;
    if ((lead & 0xE0) == 0xC0)
        need = 2;
    else if ((lead & 0xF0) == 0xE0)
        need = 3;
    else if ((lead & 0xF8) == 0xF0)
        need = 4;
    else
        return len;  // ASCII or a stray byte: nothing of ours to mend
    size_t have = len - (start - 1);
    return have < need ? start - 1 : len;
}

bool is_trimmed_tail(char c) { return c == '\r' || c == ' '; }

}  // namespace

size_t utf8_sequence(const unsigned char *s)
{
    unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    for (size_t i = 1; i < n; i++) {
        if (!is_continuation(s[i]))  // the terminating NUL stops here too
            return 0;
        cp = cp << 6 | (s[i] & 0x3F);
    }
    if (n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)))
        return 0;
    if (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))
        return 0;
    return n;
}

int split_paths(const char *list, vm_path_list &paths)
{
    paths.clear();
    const char *p = list;
    try {
        while (*p) {
            const char *lf = std::strchr(p, '\n');
            size_t len = lf ? (size_t)(lf - p) : std::strlen(p);
            while (len > 0 && is_trimmed_tail(p[len - 1]))
                len--;
            if (len > VM_PATH_CAP - 1) {
                paths.clear();
                return VM_SPLIT_TOO_LONG;
            }
            if (len > 0) {
                if (paths.size() >= (size_t)INT_MAX)
                    return VM_SPLIT_NO_MEMORY;
                paths.emplace_back(p, len);
            }
            if (!lf)
                break;
            p = lf + 1;
        }
    } catch (const std::bad_alloc &) {
        paths.clear();
        return VM_SPLIT_NO_MEMORY;
    }
    return (int)paths.size();
}

void json_escape(const char *src, char *dst, size_t cap)
{
    static const char REPLACEMENT[] = "\xef\xbf\xbd";  // U+FFFD
    size_t w = 0;
    const unsigned char *s = (const unsigned char *)src;
    while (*s) {
        const char *piece = (const char *)s;
        size_t len, used;
        char escape[7];
        if (*s >= 1 && *s <= 31) {
            // A control byte is part of the name (a tab in a file name):
            // escaped, so that the answer names that file and no other.
            static const char SHORT[] = "btn\0fr";  // bytes 8 to 13
            if (*s >= 8 && *s <= 13 && SHORT[*s - 8]) {
                escape[0] = '\\';
                escape[1] = SHORT[*s - 8];
                len = 2;
            } else {
                std::snprintf(escape, sizeof escape, "\\u%04x", (unsigned)*s);
                len = 6;
            }
            piece = escape;
            used = 1;
        } else if (*s == '"' || *s == '\\') {
            escape[0] = '\\';
            escape[1] = (char)*s;
            piece = escape;
            len = 2;
            used = 1;
        } else if ((len = utf8_sequence(s)) > 0) {
            used = len;
        } else {
            piece = REPLACEMENT;
            len = 3;
            used = 1;
        }
        // Cut before a piece that does not fit, never inside one.
        if (w + len + 1 >= cap)
            break;
        std::memcpy(dst + w, piece, len);
        w += len;
        s += used;
    }
    dst[w] = '\0';
}

size_t format_text(char *dst, size_t cap, const char *fmt, ...)
{
    if (cap == 0)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(dst, cap, fmt, ap);
    va_end(ap);
    if (n < 0) {
        dst[0] = '\0';
        return 0;
    }
    if ((size_t)n < cap)
        return (size_t)n;
    size_t len = drop_partial_utf8(dst, cap - 1);
    dst[len] = '\0';
    return len;
}

void format_fixed(double value, int decimals, char out[32])
{
    auto r = std::to_chars(out, out + 31, value, std::chars_format::fixed, decimals);
    if (r.ec != std::errc())
        r.ptr = out + std::snprintf(out, 31, "0");  // not reachable for our values
    *r.ptr = '\0';
}

std::string json_quoted(const std::string &s)
{
    std::string out = "\"";
    size_t from = 0;
    for (;;) {
        size_t nul = s.find('\0', from);
        std::string part = s.substr(from, nul == std::string::npos ? std::string::npos : nul - from);
        std::vector<char> buf(part.size() * 6 + 3);  // a control byte becomes \u0001, six bytes
        json_escape(part.c_str(), buf.data(), buf.size());
        out += buf.data();
        if (nul == std::string::npos)
            break;
        out += "\\u0000";
        from = nul + 1;
    }
    return out + "\"";
}
