// SPDX-License-Identifier: MIT
// What analysing an input learnt, kept from the check inside start for the
// merge. Analysing a file decodes some of its frames and costs about as much
// as copying a short file; the merge opens an input that is unchanged since
// the check with only its header read, puts back what the analysis found,
// and gives its packets the times the analysis would have given them. This
// is done only for formats whose packets were measured to come out the same
// either way; any other input, and any file changed since the check, is
// analysed again.
#ifndef VIDEOMERGE_KEPT_ANALYSIS_H
#define VIDEOMERGE_KEPT_ANALYSIS_H

#include <cstddef>

#include "files/platform_file.h"

struct AVFormatContext;
struct AVPacket;
struct kept_analysis;

// What the file at `path` is now, for keep_analysis.
void file_identity(const char *path, vm_file_status *now);

// Keeps what the analysis of the open input `ic` found, when its format is
// one that can be reopened without analysis and the file is still the one
// `before` (taken before it was opened) describes. Null otherwise, or when
// out of memory: the merge then analyses the file again.
kept_analysis *keep_analysis(const AVFormatContext *ic, const char *path, const vm_file_status &before);

void free_analysis(kept_analysis **a);

// About how much memory a kept analysis holds (0 for none): what a job's
// budget for them counts.
size_t kept_analysis_bytes(const kept_analysis *a);

// Opens `path` for the merge like open_media does. With a kept analysis of
// a file that has not changed since, the header alone is read and the
// analysis put back, and *reused is set; the packets must then be read
// through read_reused.
int open_for_merge(const char *path, kept_analysis *kept, AVFormatContext **ctx, int *av_error, bool *reused);

// av_read_frame for an input opened with a kept analysis: fills in the
// decode times that FFmpeg derives only after an analysis.
int read_reused(kept_analysis *kept, AVFormatContext *ic, AVPacket *pkt);

#endif
