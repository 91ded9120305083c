// SPDX-License-Identifier: MIT
// Any bytes as a path list: the splitter stores only trimmed, non-empty,
// lines that fit a path, or refuses the list.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string list(reinterpret_cast<const char *>(data), size);
    list = list.c_str();  // the library sees text up to the first NUL
    vm_path_list paths;
    int n = split_paths(list.c_str(), paths);
    if (n < VM_SPLIT_NO_MEMORY || (n < 0 && !paths.empty()) || (n >= 0 && (size_t)n != paths.size()))
        abort();
    for (const std::string &p : paths) {
        if (p.empty() || p.size() >= VM_PATH_CAP || p.back() == '\r' || p.back() == ' ' ||
            p.find('\n') != std::string::npos || p.find('\0') != std::string::npos)
            abort();
        if (list.find(p) == std::string::npos)
            abort();
    }
    return 0;
}
