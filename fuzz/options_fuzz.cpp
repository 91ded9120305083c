// SPDX-License-Identifier: MIT
// Any bytes as a merge's options for a list of three files: the reader
// never fails on them, refuses with a reason or accepts, agrees with a
// full JSON parser on what is JSON, and what it accepts is sound: ranges of
// files in the list, each file's in order and apart, every file copied.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "merge_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();  // the library sees text up to the first NUL
    const int files = 3;
    merge_options o;
    std::string error;
    int ret = parse_merge_options(text.c_str(), files, &o, &error);
    if (ret < 0) {
        if (error.empty())
            abort();
        // Valid JSON is refused as such only when nested deeper than any
        // option is.
        bool deep = std::count(text.begin(), text.end(), '[') + std::count(text.begin(), text.end(), '{') > 32;
        if (error == "options are not valid JSON" && !deep && nlohmann::json::accept(text))
            abort();
        return 0;
    }
    if (!text.empty() && !nlohmann::json::accept(text))
        abort();  // accepted what is not JSON (empty text is no options)
    for (size_t i = 0; i < o.trims.size(); i++) {
        const trim_range &t = o.trims[i];
        if (t.file < 1 || t.file > files || t.from_ms < 0 || (t.to_ms >= 0 && t.to_ms <= t.from_ms))
            abort();
        if (i > 0 && o.trims[i - 1].file == t.file &&
            (o.trims[i - 1].to_ms < 0 || o.trims[i - 1].to_ms > t.from_ms))
            abort();
    }
    std::vector<input_piece> pieces = pieces_of(o, files);
    int last = -1;
    for (const input_piece &p : pieces) {
        if (p.file < last || p.file > last + 1)
            abort();  // every file, in list order
        last = p.file;
    }
    if (last != files - 1)
        abort();
    return 0;
}
