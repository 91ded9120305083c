// SPDX-License-Identifier: MIT
// The library's exported functions. Each one is a thin entry into the
// part of the library that does the work; the static answer buffers of the
// functions without a job live here.
#include "videomerge.h"

#include <cstdio>
#include <new>
#include <string>

#include "inspect/compat.h"
#include "api/jobs.h"
#include "inspect/probe.h"

extern "C" {
#include <libavformat/version.h>
}

namespace {
char g_probe_json[65536];
// A check's answer lists every difference of the list: as long as that is.
std::string g_check_json;
}  // namespace

extern "C" {

const char *videomerge_probe(const char *path)
{
    write_probe_json(path, g_probe_json, sizeof g_probe_json);
    return g_probe_json;
}

const char *videomerge_check(const char *path_list)
{
    return videomerge_check_with(path_list, nullptr);
}

const char *videomerge_check_with(const char *path_list, const char *options_json)
{
    try {
        g_check_json = check_json(path_list, options_json);
    } catch (const std::bad_alloc &) {
        return "{\"ok\":false,\"error\":\"out of memory\"}";
    }
    return g_check_json.c_str();
}

int videomerge_start(const char *path_list, const char *out_path)
{
    return job_start(path_list, out_path, nullptr);
}

int videomerge_start_with(const char *path_list, const char *out_path, const char *options_json)
{
    return job_start(path_list, out_path, options_json);
}

int videomerge_status(int id) { return job_status(id); }

const char *videomerge_progress(int id) { return job_progress(id); }

const char *videomerge_result(int id) { return job_result(id); }

void videomerge_cancel(int id) { job_cancel(id); }

void videomerge_free(int id) { job_free(id); }

const char *videomerge_version(void)
{
    static char v[128];
    std::snprintf(v, sizeof v, "%s (libavformat %d.%d.%d)", VIDEOMERGE_VERSION_STRING, LIBAVFORMAT_VERSION_MAJOR,
                  LIBAVFORMAT_VERSION_MINOR, LIBAVFORMAT_VERSION_MICRO);
    return v;
}

}  // extern "C"
