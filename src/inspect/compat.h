// Stream summaries and the rule that decides whether files can be merged.
#ifndef VIDEOMERGE_COMPAT_H
#define VIDEOMERGE_COMPAT_H

#include <cstddef>
#include <cstdint>

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
};

enum { VM_FILEINFO_ERROR_CAP = 256, VM_REASON_CAP = 512 };

struct AVFormatContext;

vm_packaging stream_packaging(const AVCodecParameters *par);

// Fills the summary of an open, analysed input. Returns 0, or -1 when the
// file has more than VM_MAX_STREAMS streams.
int summarize_input(const AVFormatContext *ic, file_info *info);

// The reason a file with too many streams is refused, in `out` (cap bytes).
void too_many_streams(const char *path, char *out, size_t cap);

// Compares file k's summary with the first file's by the merge rule.
// Returns 1 when they match, else 0 with the reason written. Bit j of
// *differ is set when stream j's H.264/HEVC parameter sets differ.
int compare_fileinfo(const file_info &first, const file_info &f, int k, char *reason, vm_stream_mask *differ);

struct kept_analysis;

// Reads the summary of `path`. Returns 0, or -1 with a text in `err`
// (VM_FILEINFO_ERROR_CAP bytes). With `keep`, *keep receives what the
// analysis found for the merge to reuse (null when it cannot be reused).
int read_fileinfo(const char *path, file_info *info, char *err, kept_analysis **keep = nullptr);

// Compares files 2..n of the list with the first. Returns 1 when all can be
// merged (*total_ms = sum of their durations), 0 when one cannot (reason
// set), -1 when one cannot be read or memory ran out (reason says which).
// `reason` holds VM_REASON_CAP bytes. The list must hold at least 2 paths.
// When `reannex` is given and the result is 1, bit j of *reannex is set for
// each length-prefixed H.264/HEVC stream j whose parameter sets are not the
// same in every file: a plain copy would decode the later files with the
// first one's. When `kept` is given and the result is 1, it receives one
// entry per input: what the analysis of that input found, for the merge
// (free_analysis each), or null.
int compat_check(const vm_path_list &paths, int64_t *total_ms, char *reason, vm_stream_mask *reannex = nullptr,
                 std::vector<kept_analysis *> *kept = nullptr);

// Writes the check answer for a path list (may be null) into `out`.
void write_check_json(const char *list, char *out, size_t cap);

#endif
