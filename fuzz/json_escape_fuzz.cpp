// SPDX-License-Identifier: MIT
// Any bytes through the escaper at any capacity: the result fits, holds no
// control bytes, and always stands as a JSON string (bytes that are not
// UTF-8 become U+FFFD).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "text.h"

namespace {

bool valid_utf8(const std::string &s)
{
    try {
        (void)nlohmann::json(s).dump();
        return true;
    } catch (const nlohmann::json::exception &) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t cap = 3 + data[0] % 200;
    std::string src(reinterpret_cast<const char *>(data + 1), size - 1);
    src = src.c_str();
    std::vector<char> dst(cap + 16, '#');
    json_escape(src.c_str(), dst.data(), cap);
    size_t len = strnlen(dst.data(), cap);
    if (len >= cap)
        abort();
    for (size_t i = 0; i < len; i++)
        if ((unsigned char)dst[i] < 32)
            abort();
    if (!valid_utf8(dst.data()) || !nlohmann::json::accept("\"" + std::string(dst.data()) + "\""))
        abort();
    return 0;
}
