// SPDX-License-Identifier: MIT
// Stream summaries and the rule that decides whether files can be merged.
#ifndef VIDEOMERGE_COMPAT_H
#define VIDEOMERGE_COMPAT_H

#include <cstddef>
#include <cstdint>

#include <string>
#include <vector>

#include "capacity.h"
#include "text.h"
#include "inspect/codec_setup.h"

struct AVCodecParameters;

// How a stream's bitstream is packaged. A stream copy cannot join two
// packagings of one codec: the output would not decode after the join.
enum vm_packaging {
    VM_PACK_OTHER = 0,           // a codec without a packaging rule
    VM_PACK_LENGTH_PREFIXED,     // H.264/HEVC NAL units with avcC/hvcC
    VM_PACK_START_CODES,         // H.264/HEVC Annex B (MPEG-TS, raw)
    VM_PACK_AAC_CONFIG,          // raw AAC with an AudioSpecificConfig
    VM_PACK_AAC_ADTS,            // AAC in ADTS frames, no extradata
};

// What the check compares of one stream.
struct stream_info {
    int codec_id;
    int media_type;
    int width;
    int height;
    int sample_rate;
    int channels;
    int packaging;
    // SHA-1 of the extradata (the H.264/HEVC parameter sets), to tell
    // whether two files were made with the same encoder settings.
    uint8_t extradata_sha1[20];
    bool sha1_missing;  // no digest (out of memory)
    // Video: the display rotation in whole degrees, 0 to 359 (0 without a
    // display matrix).
    int rotation;
    // The language tag, "" when none or "und"; longer tags are cut.
    char language[16];
    codec_setup setup;  // what the decoder is set up from
};

// What the check compares of one file: every one of its streams.
struct file_info {
    int stream_count;
    stream_info streams[VM_MAX_STREAMS];
    int64_t duration_ms;  // container duration, 0 when unknown
    int64_t size_bytes;   // the file's size, 0 when unknown
    int64_t once_bytes;   // of that, attachments: an output carries the first file's only
};

enum { VM_FILEINFO_ERROR_CAP = 256, VM_REASON_CAP = 512 };

struct AVFormatContext;

vm_packaging stream_packaging(const AVCodecParameters *par);

// Fills the summary of an open, analysed input. Returns 0, or -1 when the
// file has more than VM_MAX_STREAMS streams.
int summarize_input(const AVFormatContext *ic, file_info *info);

// The reason a file with too many streams is refused, in `out` (cap bytes).
void too_many_streams(const char *path, char *out, size_t cap);

// One difference between a file and the first of its list, as data: what
// differs (a name from a small set that stays as it is: kind, codec, size,
// sample_rate, channels, packaging, codec_setup, rotation, stream_order,
// stream_count) and the values, as text.
struct mismatch {
    int file;    // 1 is the first
    int stream;  // -1: the file as a whole
    const char *what;
    std::string expected, found;
};

// Compares file k's summary with the first file's by the merge rule.
// Returns 1 when they match, else 0 with the reason (the first difference)
// written; with `all`, every difference is appended to it. Bit j of
// *differ is set when stream j's H.264/HEVC parameter sets differ.
int compare_fileinfo(const file_info &first, const file_info &f, int k, char *reason, vm_stream_mask *differ,
                     std::vector<mismatch> *all = nullptr);

struct kept_analysis;

// Reads the summary of `path`. Returns 0, or -1 with a text in `err`
// (VM_FILEINFO_ERROR_CAP bytes). With `keep`, *keep receives what the
// analysis found for the merge to reuse (null when it cannot be reused).
int read_fileinfo(const char *path, file_info *info, char *err, kept_analysis **keep = nullptr);

// What a check found. reason and the figures are set as compat_check says.
struct check_result {
    int64_t total_ms = 0;    // the inputs' durations together
    int64_t size_bytes = 0;  // about what a copy writes: the inputs' sizes, later files' attachments aside
    // Bit j: length-prefixed H.264/HEVC stream j whose parameter sets are
    // not the same in every file: a plain copy would decode the later files
    // with the first one's.
    vm_stream_mask reannex = 0;
    char reason[VM_REASON_CAP] = "";
    // Per input, when all can be merged: its duration (0 when unknown) and
    // its share of size_bytes.
    std::vector<int64_t> file_ms, file_bytes;
    std::vector<mismatch> mismatches;   // with CHECK_MISMATCHES
    std::vector<kept_analysis *> kept;  // with CHECK_KEEP: one per input, or null (free_analysis each)
};

enum {
    CHECK_KEEP = 1,        // keep each input's analysis for the merge
    CHECK_MISMATCHES = 2,  // list every difference of every file from the first
};

// Compares files 2..n of the list (at least 2 paths) with the first.
// Returns 1 when all can be merged (the figures set; with CHECK_KEEP, the
// kept analyses), 0 when one cannot (reason: the first difference; with
// CHECK_MISMATCHES, every difference in list order up to an input that
// cannot be read), -1 when one cannot be read or memory ran out (reason
// says which).
int compat_check(const vm_path_list &paths, check_result &out, unsigned wants = 0);

// The check answer for a path list (may be null), with the merge options
// (a JSON object, or null): trimmed inputs count their ranges. Throws
// std::bad_alloc.
std::string check_json(const char *list, const char *options = nullptr);

#endif
