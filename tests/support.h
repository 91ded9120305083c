// SPDX-License-Identifier: MIT
// Helpers shared by the tests: fixture paths, JSON parsing, waiting for a
// job, and reading a media file's packets back with libavformat.
#ifndef VIDEOMERGE_TEST_SUPPORT_H
#define VIDEOMERGE_TEST_SUPPORT_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "videomerge.h"

// A media fixture made by make_fixtures.sh.
std::string fixture(const std::string &name);
// A path in the tests' scratch directory (created on first use).
std::string scratch(const std::string &name);
// Paths joined into a line-feed separated list.
std::string path_list(const std::vector<std::string> &paths);

// Parses an answer; a parse failure fails the calling test with the text.
nlohmann::json parse_answer(const char *text);

// Polls until the job's state is final (3, 4 or 5) and returns it; -1 for a
// bad id, -2 when it takes longer than 60 s. A host that loaded the library
// at run time passes its own videomerge_status.
int wait_final(int id, int (*status)(int) = videomerge_status);

// Merges the inputs (paths) into out, expects the job to end done, frees it
// and gives its result (null when it could not start). Inline: a host that
// loads the library at run time links this file without it.
inline nlohmann::json merge_to_end(const std::vector<std::string> &inputs, const std::string &out)
{
    int id = videomerge_start(path_list(inputs).c_str(), out.c_str());
    EXPECT_GE(id, 0);
    if (id < 0)
        return {};
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
    nlohmann::json r = parse_answer(videomerge_result(id));
    videomerge_free(id);
    return r;
}

bool file_exists(const std::string &path);

// Names in `dir` that are a job's temporary output files (".*.videomerge-*.part").
std::vector<std::string> temporary_files_in(const std::string &dir);

// Copies a file over whatever is at `to` (mingw's copy_file cannot
// overwrite).
void copy_over(const std::string &from, const std::string &to);

// Open file descriptors (handles on Windows) of this process.
int open_descriptors();
// Bytes of heap in use (0 where the platform does not tell).
size_t heap_in_use();

struct packet_info {
    int stream;
    int64_t pts, dts, duration;
    double pts_s, dts_s;  // in seconds, NaN when unknown
    double duration_s;
    uint32_t crc;         // of the payload
    bool key;             // a keyframe
    int64_t discard;      // samples players are told to drop of it (skip side data: start and end)
};

struct media_read {
    bool ok = false;
    std::vector<std::string> kinds;  // "video", "audio", ... per stream
    int64_t start_us = 0;
    std::vector<packet_info> packets;  // in the order read
    std::vector<packet_info> of_stream(int s) const;
    // Seconds from the start time to the furthest packet end of any stream.
    double length_s() const;
    // How long the file lasts once joined to another: its video, where it
    // has video, unless audio runs on past that by more than an AAC frame
    // (1024 samples at 48 kHz, the fixtures' audio).
    double joined_length_s() const;
};

// Reads every packet of a file.
media_read read_media(const std::string &path);

struct AVDictionary;
struct AVFormatContext;

// Opens a media file with libavformat and reads its stream information, as
// players do (chapters stored without an end get one); null when either
// fails. Close with avformat_close_input.
AVFormatContext *open_analysed(const std::string &path);

// A tag's value, "" when the dictionary has none.
std::string tag(const AVDictionary *d, const char *key);

// Decodes every stream of the file with libavcodec and returns what went
// wrong (the decoders' error messages); empty when it decodes cleanly.
std::string decode_errors(const std::string &path);

// Lets a table-of-cases struct with a `name` member print as its name in
// test listings: VM_PRINTS_AS_NAME(my_case).
#define VM_PRINTS_AS_NAME(type) \
    inline void PrintTo(const type &c, std::ostream *os) { *os << c.name; }

#endif
