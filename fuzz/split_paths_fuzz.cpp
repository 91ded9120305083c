// Any bytes as a path list: the splitter stores only trimmed, non-empty,
// NUL-terminated lines that fit their slots, or refuses the list.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string list(reinterpret_cast<const char *>(data), size);
    list = list.c_str();  // the library sees text up to the first NUL
    static vm_path_slots slots;
    int n = split_paths(list.c_str(), slots);
    if (n < VM_SPLIT_TOO_MANY || n > VM_MAX_FILES)
        abort();
    for (int i = 0; i < n; i++) {
        size_t len = strnlen(slots[i], VM_PATH_CAP);
        if (len == 0 || len >= VM_PATH_CAP || slots[i][len - 1] == '\r' || slots[i][len - 1] == ' ' ||
            strchr(slots[i], '\n'))
            abort();
        if (list.find(slots[i]) == std::string::npos)
            abort();
    }
    return 0;
}
