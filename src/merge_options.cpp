// SPDX-License-Identifier: MIT
#include "merge_options.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace {

// The JSON the options are written in, read into a small tree. Only what
// JSON has; numbers are kept as whole numbers or marked as not whole.
struct json_value {
    enum kind_t { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
    bool whole = false;  // NUMBER: an integer within int64_t
    int64_t number = 0;
    std::string text;  // STRING
    std::vector<json_value> items;                             // ARRAY
    std::vector<std::pair<std::string, json_value>> members;  // OBJECT, in order
};

// Deep nesting is no option anyone writes; the bound keeps the reader's
// recursion off the end of the stack.
const int MAX_DEPTH = 32;

class json_reader {
public:
    explicit json_reader(const char *text) : p_(text) {}

    bool read_document(json_value *v)
    {
        skip_space();
        if (!read_value(v, 0))
            return false;
        skip_space();
        return *p_ == '\0';
    }

private:
    const char *p_;

    void skip_space()
    {
        while (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')
            p_++;
    }

    bool literal(const char *word)
    {
        size_t n = std::strlen(word);
        if (std::strncmp(p_, word, n) != 0)
            return false;
        p_ += n;
        return true;
    }

    bool read_value(json_value *v, int depth)
    {
        if (depth > MAX_DEPTH)
            return false;
        switch (*p_) {
        case '{': return read_object(v, depth);
        case '[': return read_array(v, depth);
        case '"': v->kind = json_value::STRING; return read_string(&v->text);
        case 't': v->kind = json_value::BOOL; return literal("true");
        case 'f': v->kind = json_value::BOOL; return literal("false");
        case 'n': v->kind = json_value::NUL; return literal("null");
        default: return read_number(v);
        }
    }

    // The items of an object or an array, after its opening bracket up to
    // `close`, separated by commas; `item` reads one (spaces before it
    // skipped).
    template <class Item>
    bool read_items(char close, Item item)
    {
        p_++;
        skip_space();
        if (*p_ == close) {
            p_++;
            return true;
        }
        for (;;) {
            skip_space();
            if (!item())
                return false;
            skip_space();
            if (*p_ == close) {
                p_++;
                return true;
            }
            if (*p_++ != ',')
                return false;
        }
    }

    bool read_object(json_value *v, int depth)
    {
        v->kind = json_value::OBJECT;
        return read_items('}', [&] {
            std::string key;
            if (*p_ != '"' || !read_string(&key))
                return false;
            skip_space();
            if (*p_++ != ':')
                return false;
            skip_space();
            v->members.emplace_back(std::move(key), json_value());
            return read_value(&v->members.back().second, depth + 1);
        });
    }

    bool read_array(json_value *v, int depth)
    {
        v->kind = json_value::ARRAY;
        return read_items(']', [&] {
            v->items.emplace_back();
            return read_value(&v->items.back(), depth + 1);
        });
    }

    static int hex(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    void put_utf8(std::string *out, unsigned cp)
    {
        if (cp < 0x80) {
            *out += (char)cp;
        } else if (cp < 0x800) {
            *out += (char)(0xC0 | cp >> 6);
            *out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += (char)(0xE0 | cp >> 12);
            *out += (char)(0x80 | (cp >> 6 & 0x3F));
            *out += (char)(0x80 | (cp & 0x3F));
        } else {
            *out += (char)(0xF0 | cp >> 18);
            *out += (char)(0x80 | (cp >> 12 & 0x3F));
            *out += (char)(0x80 | (cp >> 6 & 0x3F));
            *out += (char)(0x80 | (cp & 0x3F));
        }
    }

    bool read_hex4(unsigned *cp)
    {
        *cp = 0;
        for (int i = 0; i < 4; i++) {
            int h = hex(*p_);
            if (h < 0)
                return false;
            *cp = *cp << 4 | (unsigned)h;
            p_++;
        }
        return true;
    }

    bool read_string(std::string *out)
    {
        p_++;  // the opening quote
        for (;;) {
            unsigned char c = (unsigned char)*p_;
            if (c == '\0' || c < 0x20)
                return false;
            if (c >= 0x80) {  // JSON is UTF-8: a byte sequence that is not is no JSON
                size_t n = utf8_sequence(reinterpret_cast<const unsigned char *>(p_));
                if (n == 0)
                    return false;
                out->append(p_, n);
                p_ += n;
                continue;
            }
            p_++;
            if (c == '"')
                return true;
            if (c != '\\') {
                *out += (char)c;
                continue;
            }
            char e = *p_++;
            switch (e) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                unsigned cp;
                if (!read_hex4(&cp))
                    return false;
                if (cp >= 0xD800 && cp < 0xDC00) {  // a surrogate pair
                    unsigned low;
                    if (p_[0] != '\\' || p_[1] != 'u')
                        return false;
                    p_ += 2;
                    if (!read_hex4(&low) || low < 0xDC00 || low >= 0xE000)
                        return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp < 0xE000) {
                    return false;
                }
                put_utf8(out, cp);
                break;
            }
            default:
                return false;
            }
        }
    }

    bool read_number(json_value *v)
    {
        v->kind = json_value::NUMBER;
        bool negative = *p_ == '-';
        if (negative)
            p_++;
        if (*p_ < '0' || *p_ > '9')
            return false;
        if (*p_ == '0' && p_[1] >= '0' && p_[1] <= '9')  // no leading zeros
            return false;
        v->whole = true;
        uint64_t n = 0;
        while (*p_ >= '0' && *p_ <= '9') {
            unsigned d = (unsigned)(*p_++ - '0');
            if (n > (UINT64_MAX - d) / 10)
                v->whole = false;
            else
                n = n * 10 + d;
        }
        if (*p_ == '.') {
            p_++;
            if (*p_ < '0' || *p_ > '9')
                return false;
            while (*p_ >= '0' && *p_ <= '9')
                if (*p_++ != '0')
                    v->whole = false;  // 5.0 is still five
        }
        if (*p_ == 'e' || *p_ == 'E') {
            p_++;
            if (*p_ == '+' || *p_ == '-')
                p_++;
            if (*p_ < '0' || *p_ > '9')
                return false;
            while (*p_ >= '0' && *p_ <= '9')
                p_++;
            v->whole = false;  // a whole number written so is not worth the arithmetic
        }
        if (n > (uint64_t)INT64_MAX)
            v->whole = false;
        else
            v->number = negative ? -(int64_t)n : (int64_t)n;
        return true;
    }
};

// Milliseconds past this (about 300 years) are no file's: the bound keeps
// the microseconds of every sum well inside int64_t.
const int64_t MAX_MS = int64_t(10000000000000);


int refuse(std::string *error, std::string text)
{
    *error = std::move(text);
    return -1;
}

// A string option's value among `names`; -1 when it is not one.
template <size_t N>
int choice(const json_value &v, const char *const (&names)[N])
{
    if (v.kind != json_value::STRING)
        return -1;
    for (size_t i = 0; i < N; i++)
        if (v.text == names[i])
            return (int)i;
    return -1;
}

template <size_t N>
std::string choices_text(const char *const (&names)[N])
{
    std::string t;
    for (size_t i = 0; i < N; i++) {
        if (i)
            t += i + 1 == N ? " or " : ", ";
        t += std::string("\"") + names[i] + "\"";
    }
    return t;
}

int read_trim(const json_value &v, int file_count, std::vector<trim_range> *out, std::string *error)
{
    const std::string must = "option \"trim\" must be a list of {\"file\":N,\"from_ms\":N,\"to_ms\":N}";
    if (v.kind != json_value::ARRAY)
        return refuse(error, must);
    for (const json_value &r : v.items) {
        if (r.kind != json_value::OBJECT)
            return refuse(error, must);
        trim_range t{0, 0, -1};
        bool has_file = false, has_from = false, has_to = false;
        for (const auto &m : r.members) {
            bool *seen = m.first == "file" ? &has_file : m.first == "from_ms" ? &has_from
                                                       : m.first == "to_ms"   ? &has_to
                                                                              : nullptr;
            if (!seen)
                return refuse(error, "unknown key " + json_quoted(m.first) + " in a trim");
            if (*seen)
                return refuse(error, "key " + json_quoted(m.first) + " given twice in a trim");
            *seen = true;
            const json_value &n = m.second;
            if (m.first == "file") {
                if (n.kind != json_value::NUMBER || !n.whole || n.number < 1)
                    return refuse(error, "a trim's \"file\" must be a whole number from 1");
                if (n.number > file_count)
                    return refuse(error, "trim of file " + std::to_string(n.number) +
                                             ": no such file in the list (" + std::to_string(file_count) +
                                             " files)");
                t.file = (int)n.number;
                continue;
            }
            if (n.kind != json_value::NUMBER || !n.whole || n.number < 0 || n.number > MAX_MS)
                return refuse(error, "a trim's " + json_quoted(m.first) + " must be a whole number of milliseconds from 0 to " +
                                         std::to_string(MAX_MS));
            (m.first == "from_ms" ? t.from_ms : t.to_ms) = n.number;
        }
        if (!has_file)
            return refuse(error, "a trim needs \"file\"");
        std::string which = "trim of file " + std::to_string(t.file);
        if (has_to && t.to_ms <= t.from_ms)
            return refuse(error, which + " ends before it starts (" + std::to_string(t.from_ms) + " to " +
                                     std::to_string(t.to_ms) + " ms)");
        out->push_back(t);
    }
    // Ranges of one file are copied in time order and must not overlap.
    std::stable_sort(out->begin(), out->end(), [](const trim_range &a, const trim_range &b) {
        return a.file != b.file ? a.file < b.file : a.from_ms < b.from_ms;
    });
    for (size_t i = 1; i < out->size(); i++) {
        const trim_range &a = (*out)[i - 1], &b = (*out)[i];
        if (a.file == b.file && (a.to_ms < 0 || a.to_ms > b.from_ms))
            return refuse(error, "trims of file " + std::to_string(a.file) + " overlap");
    }
    return 0;
}

}  // namespace

int parse_merge_options(const char *json, int file_count, merge_options *out, std::string *error)
{
    *out = merge_options();
    if (!json || !*json)
        return 0;
    json_value root;
    if (!json_reader(json).read_document(&root))
        return refuse(error, "options are not valid JSON");
    if (root.kind != json_value::OBJECT)
        return refuse(error, "options must be a JSON object");
    static const char *const CHAPTERS[] = {"keep", "inputs", "none"};
    static const char *const FILE_TIME[] = {"now", "first_input"};
    static const char *const TIMECODE[] = {"continue", "none"};
    std::vector<std::string> seen;
    for (const auto &m : root.members) {
        const std::string &key = m.first;
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            return refuse(error, "option " + json_quoted(key) + " given twice");
        seen.push_back(key);
        if (key == "chapters") {
            if ((out->chapters = choice(m.second, CHAPTERS)) < 0)
                return refuse(error, "option \"chapters\" must be " + choices_text(CHAPTERS));
        } else if (key == "file_time") {
            if ((out->file_time = choice(m.second, FILE_TIME)) < 0)
                return refuse(error, "option \"file_time\" must be " + choices_text(FILE_TIME));
        } else if (key == "timecode") {
            int t = choice(m.second, TIMECODE);
            if (t < 0)
                return refuse(error, "option \"timecode\" must be " + choices_text(TIMECODE));
            out->timecode = t == 0 ? VM_TIMECODE_CONTINUE : VM_TIMECODE_NONE;
        } else if (key == "trim") {
            if (read_trim(m.second, file_count, &out->trims, error) < 0)
                return -1;
        } else {
            return refuse(error, "unknown option " + json_quoted(key));
        }
    }
    return 0;
}

std::vector<input_piece> pieces_of(const merge_options &o, int file_count)
{
    std::vector<input_piece> pieces;
    size_t t = 0;  // trims are sorted by file
    for (int f = 1; f <= file_count; f++) {
        bool trimmed = false;
        for (; t < o.trims.size() && o.trims[t].file == f; t++) {
            pieces.push_back({f - 1, o.trims[t].from_ms, o.trims[t].to_ms});
            trimmed = true;
        }
        if (!trimmed)
            pieces.push_back({f - 1, 0, -1});
    }
    return pieces;
}

int check_pieces(const std::vector<input_piece> &pieces, const vm_path_list &given,
                 const std::vector<int64_t> &file_ms, std::string *error)
{
    for (size_t i = 0; i < pieces.size(); i++) {
        const input_piece &p = pieces[i];
        int64_t length = file_ms[i];
        if (!p.cut() || length <= 0)  // a length that is not known is not judged
            continue;
        char secs[32];
        format_fixed((double)length / 1000.0, 3, secs);
        std::string which = "trim of file " + std::to_string(p.file + 1) + " (" + given[p.file] + ")";
        if (p.from_ms >= length)
            return refuse(error, which + " starts at or after its end (" + secs + " s)");
        if (p.to_ms > length)
            return refuse(error, which + " ends after the file does (" + secs + " s)");
    }
    return 0;
}

int64_t piece_ms(const input_piece &p, int64_t file_ms)
{
    int64_t end = p.to_ms >= 0 && (file_ms <= 0 || p.to_ms < file_ms) ? p.to_ms : file_ms;
    return std::max<int64_t>(0, end - p.from_ms);
}

int64_t piece_bytes(const input_piece &p, int64_t file_ms, int64_t file_bytes)
{
    if (!p.cut() || file_ms <= 0)
        return file_bytes;
    // A range holds about its share of the file's bytes.
    return (int64_t)((double)file_bytes * (double)piece_ms(p, file_ms) / (double)file_ms);
}
