// SPDX-License-Identifier: MIT
// The command's merge options (--chapters, --trim, --file-time, --timecode):
// their values as typed, read into the options object the library takes.
//
// Only the form of a value is judged here. Whether a trim names a file of
// the list, or starts before that file's end, is the library's to say
// (videomerge_check_with), since only it reads the files.
#ifndef VIDEOMERGE_TOOLS_MERGE_OPTIONS_H
#define VIDEOMERGE_TOOLS_MERGE_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace merge_options {

// One range of one input; -1 for a bound not given (the file's own start or
// end).
struct trim_range {
    int64_t file = 0;
    int64_t from_ms = -1, to_ms = -1;
};

struct chosen {
    std::string chapters, file_time, timecode;  // as the library spells them; empty: not given
    std::vector<trim_range> trims;

    bool any() const { return !chapters.empty() || !file_time.empty() || !timecode.empty() || !trims.empty(); }

    // The options object; "{}" when none were given.
    std::string json() const
    {
        nlohmann::json o = nlohmann::json::object();
        if (!chapters.empty())
            o["chapters"] = chapters;
        if (!file_time.empty())
            o["file_time"] = file_time;
        if (!timecode.empty())
            o["timecode"] = timecode;
        if (!trims.empty()) {
            nlohmann::json ranges = nlohmann::json::array();
            for (const auto &t : trims) {
                nlohmann::json r = {{"file", t.file}};
                if (t.from_ms >= 0)
                    r["from_ms"] = t.from_ms;
                if (t.to_ms >= 0)
                    r["to_ms"] = t.to_ms;
                ranges.push_back(r);
            }
            o["trim"] = ranges;
        }
        return o.dump();
    }
};

// The library's bound (about 317 years): far past any recording, and far
// from int64's end, so that the sums below cannot wrap.
constexpr int64_t MAX_MS = 10000000000000LL;

inline bool all_digits(const std::string &s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// A run of digits as a number no larger than `max`.
inline bool number(const std::string &digits, int64_t max, int64_t &value)
{
    if (!all_digits(digits))
        return false;
    value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > max)
            return false;
    }
    return true;
}

// A time as seconds ("12.5", "90") or [h:]mm:ss[.mmm] ("1:00", "1:02:03.250"),
// in milliseconds. After a colon, minutes and seconds take two digits below
// 60: "1:5" could mean 1:05 or 1:50, so it is refused rather than guessed.
// Digits past the millisecond (a time copied from ffprobe) are rounded.
inline bool parse_time(const std::string &text, int64_t &ms)
{
    std::vector<std::string> fields;
    size_t begin = 0;
    for (;;) {
        size_t colon = text.find(':', begin);
        fields.push_back(text.substr(begin, colon - begin));
        if (colon == std::string::npos)
            break;
        begin = colon + 1;
    }
    if (fields.size() > 3)
        return false;

    std::string seconds = fields.back(), fraction;
    size_t dot = seconds.find('.');
    if (dot != std::string::npos) {
        fraction = seconds.substr(dot + 1);
        seconds.resize(dot);
        if (!all_digits(fraction))
            return false;
    }
    int64_t whole = 0;
    bool colons = fields.size() > 1;
    if (!number(seconds, MAX_MS / 1000, whole) || (colons && (seconds.size() != 2 || whole >= 60)))
        return false;

    int64_t total_s = whole, unit = 60;
    for (size_t i = fields.size() - 1; i-- > 0;) {
        bool leading = i == 0;
        int64_t v = 0;
        if (!number(fields[i], MAX_MS / 1000, v) || (!leading && (fields[i].size() != 2 || v >= 60)))
            return false;
        if (v > (MAX_MS / 1000 - total_s) / unit)
            return false;
        total_s += v * unit;
        unit *= 60;
    }

    int64_t frac_ms = 0;
    for (size_t i = 0; i < 3; i++)
        frac_ms = frac_ms * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    if (fraction.size() > 3 && fraction[3] >= '5')
        frac_ms++;
    ms = total_s * 1000 + frac_ms;
    return ms <= MAX_MS;
}

// Reads "N:FROM-TO" (either bound may be empty: "2:-30", "2:1:00-"). Returns
// an empty text when it is well formed, else what is wrong with it.
inline std::string parse_trim(const std::string &text, trim_range &range)
{
    const std::string form = "give N:FROM-TO, N the file's number in the list (1 first), FROM and TO as "
                             "seconds (12.5) or [h:]mm:ss[.mmm], either may be empty";
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return form;
    std::string n = text.substr(0, colon), times = text.substr(colon + 1);
    if (!all_digits(n))
        return form;
    if (!number(n, 1000000000, range.file))
        return "file number " + n + " is past any list";
    if (range.file < 1)
        return "files count from 1";
    size_t dash = times.find('-');
    if (dash == std::string::npos || times.find('-', dash + 1) != std::string::npos)
        return form;
    std::string from = times.substr(0, dash), to = times.substr(dash + 1);
    if (from.empty() && to.empty())
        return "give FROM, TO or both";
    range.from_ms = range.to_ms = -1;
    const std::string time_form = "' is not a time: give seconds (12.5) or [h:]mm:ss[.mmm], minutes and "
                                  "seconds after a colon as two digits below 60";
    if (!from.empty() && !parse_time(from, range.from_ms))
        return "'" + from + time_form;
    if (!to.empty() && !parse_time(to, range.to_ms))
        return "'" + to + time_form;
    if (range.from_ms >= 0 && range.to_ms >= 0 && range.to_ms <= range.from_ms)
        return "it ends where or before it starts";
    return "";
}

}  // namespace merge_options

#endif
