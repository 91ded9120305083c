// SPDX-License-Identifier: MIT
// Text helpers: the path-list splitter, the JSON string escaper, bounded,
// locale-independent formatting into fixed buffers and name lookup.
#ifndef VIDEOMERGE_TEXT_H
#define VIDEOMERGE_TEXT_H

#include <cstddef>
#include <cstring>

#include <string>
#include <vector>

#include "capacity.h"

// The paths of one list, in order: as many as the host gives.
typedef std::vector<std::string> vm_path_list;

// split_paths results below zero.
enum {
    VM_SPLIT_TOO_LONG = -1,   // a line is longer than VM_PATH_CAP - 1 bytes
    VM_SPLIT_NO_MEMORY = -2,  // the list does not fit in memory
};

// Splits a line-feed separated list into paths. Trailing carriage returns
// and spaces of each line are dropped and empty lines skipped. Returns the
// number of paths stored (any number), or VM_SPLIT_TOO_LONG /
// VM_SPLIT_NO_MEMORY with `paths` left empty. `list` must not be null.
int split_paths(const char *list, vm_path_list &paths);

// Writes a copy of `src` into `dst` (capacity `cap` >= 3, NUL included)
// that can stand between quotation marks in JSON: '"' and '\' get a
// backslash, bytes 1 to 31 become JSON escapes (\t, \n, \u0001, ...), a
// byte that is not part of valid
// UTF-8 becomes U+FFFD (paths are bytes, JSON is UTF-8), everything else is
// copied. A long source is cut, never inside an escape pair nor inside a
// UTF-8 sequence.
void json_escape(const char *src, char *dst, size_t cap);

// `s` as a JSON string, quotation marks included: escaped as json_escape
// does, never cut, and a NUL kept (as \u0000) rather than ending the text.
std::string json_quoted(const std::string &s);

// Length of the well-formed UTF-8 sequence at `s` (1 for ASCII), or 0 for
// a byte that does not begin one: a stray continuation byte, a sequence cut
// short, an overlong form, a surrogate or a value past U+10FFFF.
size_t utf8_sequence(const unsigned char *s);

// snprintf into a fixed buffer; when the text is cut, a UTF-8 sequence left
// incomplete at the end is removed too. Returns the length written.
size_t format_text(char *dst, size_t cap, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// Whether `name` (a format's, say) is one of `names`, exactly.
template <size_t N>
bool name_in(const char *name, const char *const (&names)[N])
{
    for (const char *candidate : names)
        if (std::strcmp(name, candidate) == 0)
            return true;
    return false;
}

// Formats `value` with `decimals` digits after a '.', whatever the process
// locale (JSON needs the dot). `out` must hold 32 bytes.
void format_fixed(double value, int decimals, char out[32]);

#endif
