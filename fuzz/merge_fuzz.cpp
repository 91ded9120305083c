// SPDX-License-Identifier: MIT
// A mutated file merged with a good one, run by the worker on this thread:
// the job always ends in a final state with a valid result, and a failed
// job leaves no output.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "inspect/compat.h"
#include "fuzz_file.h"
#include "api/jobs.h"
#include "merge/merge.h"
#include "files/resolved_path.h"
#include "api/session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *good = getenv("VM_FUZZ_GOOD");
    if (!good)
        abort();
    std::string path = write_fuzz_file("merge_in.mp4", data, size);
    std::string out = fuzz_path("merge_out.mkv");
    bool mutated_first = size > 0 && (data[size - 1] & 1);

    vm_session *s = &g_sessions[0];
    session_reset(s);
    s->in_use.store(1);
    s->paths = {mutated_first ? path : std::string(good), mutated_first ? std::string(good) : path};
    s->open_paths = s->paths;
    s->kept.assign(2, nullptr);
    s->file_count = 2;
    s->pieces = {{0, 0, -1}, {1, 0, -1}};  // both inputs whole
    s->piece_ms.assign(2, 0);
    std::strcpy(s->out_path, out.c_str());
    resolve_path(out.c_str(), &s->out);
    // The check tells which streams carry their own parameter sets. The
    // worker runs whatever the verdict: it must hold its own ground against
    // inputs that changed after a check.
    check_result checked;
    if (compat_check(s->paths, checked) == 1) {
        s->total_ms = checked.total_ms;
        s->reannex = checked.reannex;
    }
    merge_thread(s);
    int state = s->state.load();
    if (state != VM_STATE_DONE && state != VM_STATE_FAILED)
        abort();
    if (!nlohmann::json::accept(job_result(0)) || !nlohmann::json::accept(job_progress(0)))
        abort();
    if (state == VM_STATE_FAILED && access(out.c_str(), F_OK) == 0)
        abort();
    s->in_use.store(0);
    unlink(out.c_str());
    return 0;
}
