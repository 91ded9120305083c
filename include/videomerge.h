/* SPDX-License-Identifier: MIT */
/*
 * videomerge: join media files end to end by stream copy.
 *
 * Plain C interface. Every text answer is NUL-terminated JSON (or, for
 * videomerge_version, plain text) in a buffer owned by the library: the
 * caller reads it, never frees or writes it, and copies what it wants to
 * keep before the call that reuses the buffer (named for each function).
 *
 * Paths are UTF-8 byte strings passed on as they are. A path list is one
 * string of paths separated by line feeds; carriage returns and spaces at
 * the end of a line are ignored and blank lines skipped. A list holds 2 or
 * more paths (any number: the library's memory grows with the list) of at
 * most 1199 bytes each.
 *
 * Paths are resolved when a job starts (a "file:" prefix as FFmpeg's file
 * protocol reads it, a relative path against the working directory of that
 * moment, links followed); the job keeps using those files whatever the
 * host does later. Only regular files are read or written. Bytes of a path
 * that are not UTF-8 appear as U+FFFD in answers; the path is used as given.
 *
 * Output: the job writes a temporary file of its own beside the output
 * (".NAME.videomerge-PID-N.part"), syncs it and renames it over the output
 * path when it is done, before its state becomes 3. Until then whatever
 * stands at the output path is untouched; a job that does not finish
 * removes its temporary file and nothing else. A link at the output path
 * stays: the file it points to is replaced (or made).
 *
 * Threads: videomerge_probe calls must not overlap each other (one shared
 * buffer), nor videomerge_check calls, nor videomerge_version calls.
 * videomerge_start and videomerge_free must not overlap each other or
 * themselves. Everything else may overlap anything: videomerge_status,
 * videomerge_progress, videomerge_result and videomerge_cancel may be called
 * from any thread at any time, also while the job is freed and its id given
 * to the next start (they then answer about one job or the other, whole, or
 * "bad id").
 */
#ifndef VIDEOMERGE_H
#define VIDEOMERGE_H

/* The library's version, in this one place: the build reads it from here
 * for the shared library's version, the pkg-config and CMake files and the
 * packages. */
#define VIDEOMERGE_VERSION_MAJOR 1
#define VIDEOMERGE_VERSION_MINOR 0
#define VIDEOMERGE_VERSION_PATCH 0
#define VIDEOMERGE_VERSION_TEXT_(x) #x
#define VIDEOMERGE_VERSION_TEXT(x) VIDEOMERGE_VERSION_TEXT_(x)
#define VIDEOMERGE_VERSION_STRING                                                        \
    VIDEOMERGE_VERSION_TEXT(VIDEOMERGE_VERSION_MAJOR) "." VIDEOMERGE_VERSION_TEXT(      \
        VIDEOMERGE_VERSION_MINOR) "." VIDEOMERGE_VERSION_TEXT(VIDEOMERGE_VERSION_PATCH)

#if defined(_WIN32)
#  if defined(VIDEOMERGE_BUILDING)
#    define VIDEOMERGE_API __declspec(dllexport)
#  elif defined(VIDEOMERGE_STATIC)
#    define VIDEOMERGE_API
#  else
#    define VIDEOMERGE_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define VIDEOMERGE_API __attribute__((visibility("default")))
#else
#  define VIDEOMERGE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Job states reported by videomerge_status and in the progress and result
 * JSON. 3, 4 and 5 are final. */
#define VIDEOMERGE_STATE_PENDING   0
#define VIDEOMERGE_STATE_RUNNING   2
#define VIDEOMERGE_STATE_DONE      3
#define VIDEOMERGE_STATE_CANCELLED 4
#define VIDEOMERGE_STATE_FAILED    5

/* Describes one media file:
 *   {"ok":true,"duration_ms":N,"format":"...","streams":[{"index":0,
 *    "type":"video","codec":"h264","width":W,"height":H,"fps":25.000,
 *    "channels":0,"sample_rate":0,"bitrate":N},...]}
 * or {"ok":false,"error":"..."}. The text stays valid until the next
 * videomerge_probe call. */
VIDEOMERGE_API const char *videomerge_probe(const char *path);

/* Checks whether the listed files can be merged (same streams, codecs,
 * picture sizes, audio formats and bitstream packaging as the first):
 *   {"ok":true,"compatible":true,"files":N,"total_duration_ms":N,
 *    "estimated_size_bytes":N}
 *   {"ok":true,"compatible":false,"reason":"...","mismatches":[
 *    {"file":2,"stream":0,"what":"rotation","expected":"0","found":"90"},...]}
 *   {"ok":false,"error":"..."}   (a file cannot be read, or a bad list)
 * estimated_size_bytes: the inputs' sizes together, which a stream copy's
 * output comes close to. reason: the first difference in list order.
 * mismatches: every difference of every file from the first, in list order
 * (up to a file that cannot be read); "file" counts from 1, "stream" is
 * null for the file as a whole; "what" is one of kind, codec, size,
 * sample_rate, channels, packaging, codec_setup, rotation, stream_order,
 * stream_count (names that stay; new ones may come), values are text.
 * The text stays valid until the next videomerge_check call. */
VIDEOMERGE_API const char *videomerge_check(const char *path_list);

/* The same check for a merge with options (see videomerge_start_with):
 * total_duration_ms and estimated_size_bytes count trimmed inputs by their
 * ranges; "files" stays the number of paths. Options that are not valid for
 * the list answer {"ok":false,"error":"..."} naming what is wrong, e.g.
 * "unknown option \"chapter\"" or "trim of file 2 (b.mp4) starts at or after
 * its end (12.345 s)". NULL or "{}" answers as videomerge_check. Shares
 * videomerge_check's buffer: the two must not overlap. */
VIDEOMERGE_API const char *videomerge_check_with(const char *path_list, const char *options_json);

/* Starts merging the listed files into out_path in the background; the
 * container follows from out_path's extension. Returns the job id (0 to 3)
 * or a negative code: -1 bad arguments (fewer than 2 paths, an empty or
 * over-long path; an out_path that is one of the inputs, an
 * input or the output of another running job, not a local regular file, or
 * whose format writes files of its own: HLS, DASH, image sequences,
 * segments; an input that another running job writes), -2 four
 * jobs already in use, -3 an input cannot be read, -4 the worker cannot be
 * started (or the list does not fit in memory), -5 the inputs are not compatible (videomerge_check says why).
 * Every successful start must be matched by one videomerge_free. */
VIDEOMERGE_API int videomerge_start(const char *path_list, const char *out_path);

/* videomerge_start with options, a JSON object (NULL or "{}": none, exactly
 * as videomerge_start). Same codes and job functions; -1 also for options
 * that are not valid (unknown keys, wrong types or values, trims outside
 * the list or the files): nothing is started or created, and
 * videomerge_check_with with the same list and options answers why. Keys:
 *   "chapters": "keep"   the inputs' own chapters, each moved to its
 *                        input's place (the default)
 *               "inputs" one chapter per input at its place, titled from its
 *                        "title" tag, else its file name without extension
 *               "none"   no chapters
 *   "trim": [{"file":N,"from_ms":N,"to_ms":N},...]
 *               input N (1 = the first of the list) is copied from from_ms
 *               (default 0) to to_ms (default its end), milliseconds from
 *               its start. Video starts at the keyframe at or before from_ms
 *               (a stream copy cannot start between keyframes) and every
 *               stream starts there, so the frames shown before from_ms keep
 *               their sound. At to_ms video keeps every frame decoded
 *               before it (B-frames may be shown up to their reorder delay
 *               after it) and the other streams run on as far. A file may have
 *               several ranges that do not overlap: they are copied in time
 *               order, each as an input of its own (total_files and
 *               files_merged count them).
 *   "file_time": "now"   the output's modification time is when it was
 *                        written (the default)
 *                "first_input" the first input's recording time: its
 *                        creation_time tag, else its modification time
 *   "timecode": "continue" an MP4 or MOV output gets one timecode track
 *                        from the first input's timecode, spanning the
 *                        output (also the default, where it can)
 *               "none"   no timecode track
 * Where the output cannot honour an option given ("chapters":"inputs" into
 * MPEG-TS, a timecode asked for into anything but MP4/MOV or from a first
 * input without one, a file time the system refuses), the job is done
 * without it and the result says so; "keep", the default, is never
 * reported. A trimmed first input's timecode moves on to the frame the copy
 * starts at; the file time is the recording's own. */
VIDEOMERGE_API int videomerge_start_with(const char *path_list, const char *out_path, const char *options_json);

/* The job's state (VIDEOMERGE_STATE_*), or -1 for an unknown id. */
VIDEOMERGE_API int videomerge_status(int id);

/*   {"state":2,"percent":41.5,"current_file":1,"total_files":2,
 *    "processed_ms":N,"total_ms":N,"packets":N,"phase":"copying"}
 * or {"error":"bad id"}. phase becomes "finishing" once every packet is
 * copied (the index, trailer, sync and rename follow); percent stays below
 * 100.0 until the output is in place (state 3). Valid until the same thread's next
 * videomerge_progress for the same id (each thread has its own buffers). */
VIDEOMERGE_API const char *videomerge_progress(int id);

/*   {"state":3,"ok":true,"out_path":"...","out_size_bytes":N,
 *    "files_merged":N,"duration_ms":N,"packets_written":N,"elapsed_ms":N,
 *    "streams_left_out":[i,...],"output_duration_ms":N}
 * and, after a start with options that the output could not honour,
 * "options_not_applied":["chapters","timecode","file_time"] (those that
 * apply); once done, last of all, "joins":[{"file":2,"at_ms":1033.333,
 * "audio_left_out":N,"audio_discarded":N,"audio_offset_ms":-9.333},...],
 * one record per join: where each later input begins on the output
 * timeline and, for an output with audio, of its first audio stream the
 * samples left out and told to be dropped around the join, and how much
 * later than its place against the video the input's audio is heard.
 * or, for a failed job, {"state":5,"ok":false,"error":"..."}, or
 * {"error":"bad id"}. out_path is the path as the host gave it. Valid until
 * the same thread's next videomerge_result for the same id. */
VIDEOMERGE_API const char *videomerge_result(int id);

/* Asks the job to stop; returns at once. The worker stops at its next
 * packet and removes its temporary file (state 4); the output path is left
 * as it was. */
VIDEOMERGE_API void videomerge_cancel(int id);

/* Releases the job: cancels it if it still runs and waits for its worker
 * to end (which removes its temporary file). It deletes nothing else. The
 * id is invalid afterwards. */
VIDEOMERGE_API void videomerge_free(int id);

/* "1.0.0 (libavformat X.Y.Z)", the libavformat version the library was
 * built against. */
VIDEOMERGE_API const char *videomerge_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VIDEOMERGE_H */
