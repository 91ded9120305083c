// SPDX-License-Identifier: MIT
// The order in which the command joins its inputs: as given, or as a
// camera numbered them (--order camera).
//
// Camera order sorts by file name, never by directory:
//  - GoPro chapter files, G[XHL]ccnnnn.EXT (cc the chapter, nnnn the
//    recording; the letters in either case; older cameras' GOPRnnnn.EXT
//    and GPccnnnn.EXT, the first being chapter 00), by recording, then
//    chapter. A
//    name sort gets them wrong: GX020001 (chapter 2 of recording 1) comes
//    after GX010002 (chapter 1 of recording 2).
//  - Any other name in natural order: runs of digits compared by their
//    value (clip2 before clip10, clip01 the same as clip1), the rest byte by
//    byte.
// A GoPro name is compared with every other name as the name "G" followed
// by its recording and its chapter (GX020001.MP4 as G000102): among
// themselves that is recording then chapter; among other names, they stand
// where such a name would. Comparing derived names in one natural order,
// rather than GoPro names one way and the rest another, keeps the order
// consistent (no a < b < c < a among mixed names), which a sort needs.
// Names that compare the same keep the order given.
//
// The Python binding's camera_order follows the same rules; the tests hold
// both to one table of names.
#ifndef VIDEOMERGE_TOOLS_INPUT_ORDER_H
#define VIDEOMERGE_TOOLS_INPUT_ORDER_H

#include <algorithm>
#include <string>
#include <vector>

#include "platform.h"

namespace input_order {

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

inline bool is_alnum(unsigned char c)
{
    return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The name a file name is sorted as: "G" + recording + chapter for a GoPro
// chapter file, else the name itself.
inline std::string sort_name(const std::string &name)
{
    auto upper = [](char c) { return (char)(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); };
    // Older cameras name a recording's first chapter GOPRnnnn, the next ones
    // GPccnnnn: the first is chapter 00.
    bool first = name.size() >= 10 && upper(name[0]) == 'G' && upper(name[1]) == 'O' && upper(name[2]) == 'P' &&
                 upper(name[3]) == 'R';
    bool gopro = name.size() >= 10 && name[8] == '.' &&
                 (first || (upper(name[0]) == 'G' && (upper(name[1]) == 'X' || upper(name[1]) == 'H' ||
                                                      upper(name[1]) == 'L' || upper(name[1]) == 'P')));
    for (size_t i = first ? 4 : 2; gopro && i < 8; i++)
        gopro = is_digit(name[i]);
    for (size_t i = 9; gopro && i < name.size(); i++)
        gopro = is_alnum(name[i]);
    if (!gopro)
        return name;
    return "G" + name.substr(4, 4) + (first ? std::string("00") : name.substr(2, 2));
}

// Natural order: <0, 0 or >0. Runs of digits compare by value (their
// leading zeros aside), other bytes as unsigned bytes. A digit meets a
// non-digit byte as bytes do, so every number sorts where the digits sit
// among the bytes, and the whole is one consistent order.
inline int natural_compare(const std::string &a, const std::string &b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        unsigned char x = a[i], y = b[j];
        if (!is_digit(x) || !is_digit(y)) {
            if (x != y)
                return x < y ? -1 : 1;
            i++, j++;
            continue;
        }
        while (i < a.size() && a[i] == '0')
            i++;
        while (j < b.size() && b[j] == '0')
            j++;
        size_t a_end = i, b_end = j;
        while (a_end < a.size() && is_digit(a[a_end]))
            a_end++;
        while (b_end < b.size() && is_digit(b[b_end]))
            b_end++;
        // Without leading zeros, the longer number is the larger; numbers
        // of one length compare as their digits do.
        if (a_end - i != b_end - j)
            return a_end - i < b_end - j ? -1 : 1;
        int digits = a.compare(i, a_end - i, b, j, b_end - j);
        if (digits != 0)
            return digits < 0 ? -1 : 1;
        i = a_end, j = b_end;
    }
    return (int)(i < a.size()) - (int)(j < b.size());
}

inline std::vector<std::string> camera_order(const std::vector<std::string> &paths)
{
    std::vector<std::pair<std::string, std::string>> keyed;  // sort name, path
    for (const auto &p : paths)
        keyed.emplace_back(sort_name(p.substr(file_name_offset(p))), p);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto &x, const auto &y) { return natural_compare(x.first, y.first) < 0; });
    std::vector<std::string> sorted;
    for (auto &k : keyed)
        sorted.push_back(std::move(k.second));
    return sorted;
}

}  // namespace input_order

#endif
