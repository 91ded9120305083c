// SPDX-License-Identifier: MIT
// A host that loads the library by name at run time and calls it through
// the symbols it looks up, as desktop apps and scripting languages do.
#include <string>

#include <gtest/gtest.h>

#include "support.h"

#if defined(_WIN32)
#include <windows.h>
namespace {
void *load_library(const char *file) { return reinterpret_cast<void *>(LoadLibraryA(file)); }
void *find_symbol(void *lib, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(lib), name));
}
bool unload_library(void *lib) { return FreeLibrary(static_cast<HMODULE>(lib)) != 0; }
std::string load_error() { return "LoadLibrary error " + std::to_string(GetLastError()); }
}  // namespace
#else
#include <dlfcn.h>
namespace {
void *load_library(const char *file) { return dlopen(file, RTLD_NOW | RTLD_LOCAL); }
void *find_symbol(void *lib, const char *name) { return dlsym(lib, name); }
bool unload_library(void *lib) { return dlclose(lib) == 0; }
std::string load_error() { return dlerror(); }
}  // namespace
#endif

namespace {

template <typename F>
F lookup(void *lib, const char *name)
{
    void *sym = find_symbol(lib, name);
    EXPECT_NE(sym, nullptr) << name;
    return reinterpret_cast<F>(sym);
}

TEST(Dlopen, CallsEveryFunctionByName)
{
    void *lib = load_library(VM_LIBRARY_FILE);
    ASSERT_NE(lib, nullptr) << load_error();
    using text_fn = const char *(*)(const char *);
    using id_text_fn = const char *(*)(int);
    auto version = lookup<const char *(*)()>(lib, "videomerge_version");
    auto probe = lookup<text_fn>(lib, "videomerge_probe");
    auto check = lookup<text_fn>(lib, "videomerge_check");
    auto start = lookup<int (*)(const char *, const char *)>(lib, "videomerge_start");
    auto status = lookup<int (*)(int)>(lib, "videomerge_status");
    auto progress = lookup<id_text_fn>(lib, "videomerge_progress");
    auto result = lookup<id_text_fn>(lib, "videomerge_result");
    auto cancel = lookup<void (*)(int)>(lib, "videomerge_cancel");
    auto release = lookup<void (*)(int)>(lib, "videomerge_free");
    auto check_with = lookup<const char *(*)(const char *, const char *)>(lib, "videomerge_check_with");
    auto start_with = lookup<int (*)(const char *, const char *, const char *)>(lib, "videomerge_start_with");
    // Internal helpers are not part of the interface.
    EXPECT_EQ(find_symbol(lib, "split_paths"), nullptr);
    EXPECT_EQ(find_symbol(lib, "_Z11split_pathsPKcPA1200_c"), nullptr);
    if (HasFailure())
        return;

    EXPECT_EQ(std::string(version()).rfind("1.0.0 (libavformat ", 0), 0u);
    EXPECT_EQ(parse_answer(probe(fixture("av.mp4").c_str()))["streams"].size(), 2u);
    std::string list = path_list({fixture("av.mp4"), fixture("av_short.mp4")});
    EXPECT_EQ(parse_answer(check(list.c_str()))["compatible"], true);

    std::string out = scratch("dlopen_out.mkv");
    int id = start(list.c_str(), out.c_str());
    ASSERT_GE(id, 0);
    parse_answer(progress(id));
    ASSERT_EQ(wait_final(id, status), 3);
    cancel(id);  // too late: changes nothing
    auto r = parse_answer(result(id));
    EXPECT_EQ(r["state"], 3);
    EXPECT_EQ(r["out_path"], out);
    release(id);
    EXPECT_TRUE(file_exists(out));

    // The calls with options, by name too.
    const char *chapters = R"({"chapters":"inputs"})";
    EXPECT_EQ(parse_answer(check_with(list.c_str(), chapters))["compatible"], true);
    EXPECT_EQ(parse_answer(check_with(list.c_str(), "{\"chapter\":1}"))["error"], "unknown option \"chapter\"");
    id = start_with(list.c_str(), out.c_str(), chapters);
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id, status), 3);
    release(id);
    EXPECT_TRUE(unload_library(lib));
}

}  // namespace
