// SPDX-License-Identifier: MIT
// Any bytes as a media file: probe and check never crash, hang or leak,
// and always answer valid JSON, whatever the demuxers make of the bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_file.h"
#include "videomerge.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("AV_LOG_FORCE_NOCOLOR", "1", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string good = getenv("VM_FUZZ_GOOD") ? getenv("VM_FUZZ_GOOD") : "";
    std::string path = write_fuzz_file("probe.mp4", data, size);
    if (!nlohmann::json::accept(videomerge_probe(path.c_str())))
        abort();
    std::string list = path + "\n" + (good.empty() ? path : good) + "\n";
    if (!nlohmann::json::accept(videomerge_check(list.c_str())))
        abort();
    std::string reversed = (good.empty() ? path : good) + "\n" + path + "\n";
    if (!nlohmann::json::accept(videomerge_check(reversed.c_str())))
        abort();
    return 0;
}
