// SPDX-License-Identifier: MIT
// Sums of times that saturate rather than wrap (undefined in C++): hostile
// files carry times near the ends of int64.
#ifndef VIDEOMERGE_SATURATING_H
#define VIDEOMERGE_SATURATING_H

#include <cstdint>

// a + b and a - b, held within int64 (and off AV_NOPTS_VALUE, INT64_MIN).
inline int64_t saturating_add(int64_t a, int64_t b)
{
    int64_t r;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? INT64_MAX : INT64_MIN + 1;
    return r == INT64_MIN ? INT64_MIN + 1 : r;
}

inline int64_t saturating_subtract(int64_t a, int64_t b)
{
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r))
        return b < 0 ? INT64_MAX : INT64_MIN + 1;
    return r == INT64_MIN ? INT64_MIN + 1 : r;
}

#endif
