// SPDX-License-Identifier: MIT
#include "merge/merge.h"

#include <system_error>
#include <vector>

#include "merge/audio_joins.h"
#include "merge/carry_over.h"
#include "merge/chapters.h"
#include "inspect/compat.h"
#include "inspect/formats.h"
#include "merge/flac_frames.h"
#include "files/disk_room.h"
#include "files/fs_path.h"
#include "merge/input_prefetch.h"
#include "merge/join_start.h"
#include "merge/mp3_padding.h"
#include "inspect/kept_analysis.h"
#include "inspect/media_input.h"
#include "files/output_file.h"
#include "merge/read_ahead.h"
#include "merge/range_start.h"
#include "merge/reannex.h"
#include "merge/recording_time.h"
#include "api/session.h"
#include "merge/stream_selection.h"
#include "text.h"
#include "merge/timeline.h"
#include "merge/ts_boundary.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/time.h>
}

namespace {

// The last packets of an audio stream, not yet written: a ring of
// AUDIO_HELD packets, `count` of them from `first` on.
struct held_audio {
    AVPacket *pkts[AUDIO_HELD] = {};
    int first = 0;
    int count = 0;
};

// Everything one merge holds; released in one place on every path.
struct merge_run {
    vm_session *s;
    AVFormatContext *ic;  // the input being read
    AVFormatContext *oc;  // the output
    output_file out;      // the file the output's bytes go to
    AVPacket *pkt;
    reannex_filters filters;  // for the current input's reannexed streams
    input_prefetch next;      // the input after the current one, opening
    join_start start;         // the current input's first packets
    read_ahead *ahead;        // reads the current input while it is copied
    file_info first;          // what later inputs must match
    stream_selection sel;     // which input streams the output has
    timeline tl;
    ts_boundary boundary;     // what the current input has written, for a join that continues it
    chapter_list chapters;    // every input's, placed on the output
    int n;  // output streams: the first input's streams the output keeps
    int in_idx;  // input stream of the packet being written, for messages
    bool flac_numbering;  // a .flac output: frames get their output sample number
    bool mp3_delay_fix;   // an .mp3 output: see mp3_padding.h
    int j;  // 1-based number of the input being read
    bool reused;  // input j was opened with the check's analysis
    int64_t file_time_us;  // the output's modification time, or VM_TIME_NOW
    // Per output stream: its last audio packets, held back until the next
    // input is placed (they may be left out to fit the join; see
    // audio_joins.h), oldest first.
    std::vector<held_audio> held;
};

int fail(merge_run &m, const char *fmt, const char *arg = nullptr)
{
    format_text(m.s->error, VM_ERROR_CAP, fmt, arg);
    return -1;
}

// A failure with FFmpeg's own word for it after our text.
int fail_av(merge_run &m, const char *what, int av_error)
{
    char msg[128];
    av_error_text(av_error, msg, sizeof msg);
    format_text(m.s->error, VM_ERROR_CAP, "%s: %s", what, msg);
    return -1;
}

int filter_failed(merge_run &m)
{
    format_text(m.s->error, VM_ERROR_CAP, "bitstream filter failed (file %d)", m.j);
    return -1;
}

// The range of input `ic` that piece `p` copies, on the input's clock.
input_range range_of_piece(const AVFormatContext *ic, const input_piece &p)
{
    int64_t start = range_clock_start(ic);
    return {p.from_ms > 0 ? start + p.from_ms * 1000 : AV_NOPTS_VALUE,
            p.to_ms >= 0 ? start + p.to_ms * 1000 : AV_NOPTS_VALUE};
}

// Takes input j (m.j), as open_media left it, and opens the filters its
// streams need; starts opening the input after it.
int accept_input(merge_run &m, int opened)
{
    const char *path = m.s->paths[m.j - 1].c_str();
    if (opened == VM_INPUT_OPEN_FAILED)
        return fail(m, "cannot open %s", path);
    if (opened == VM_INPUT_NOT_REGULAR)
        return fail(m, "not a regular file: %s", path);
    if (opened != VM_INPUT_OK)
        return fail(m, "no stream info: %s", path);
    if (reannex_open(&m.filters, m.ic, m.s->reannex) < 0)
        return filter_failed(m);
    if (m.j < m.s->file_count)
        prefetch_start(&m.next, m.s->open_paths[m.j].c_str(), m.s->kept[m.j]);
    return 0;
}

// Which streams of the first input the output keeps, decided before the
// file is created; the choice is published in the job slot.
int choose_streams(merge_run &m)
{
    const AVCodecParameters *pars[VM_MAX_STREAMS];
    for (int i = 0; i < (int)m.ic->nb_streams && i < VM_MAX_STREAMS; i++) {
        // A filtered stream is written as the filter hands it on: start
        // codes, which the muxer stores in its own way.
        AVBSFContext *bsf = m.filters.bsf[i];
        pars[i] = bsf ? bsf->par_out : m.ic->streams[i]->codecpar;
    }
    if (select_streams(m.ic, m.s->paths[0].c_str(), pars, m.oc->oformat, &m.sel, m.s->error, VM_ERROR_CAP) < 0)
        return -1;
    m.s->left_out.store(m.sel.left_out, std::memory_order_relaxed);
    m.n = m.sel.kept;
    return 0;
}

// Reads the first packets of the input just opened, from where its range
// starts (the seek that needs).
int begin_input(merge_run &m)
{
    input_range range = range_of_piece(m.ic, m.s->pieces[m.j - 1]);
    return begin_range(&m.start, m.ic, m.reused ? m.s->kept[m.j - 1] : nullptr, range) < 0 ? fail(m, "oom") : 0;
}

// How far into input j its copy starts, in microseconds (0: at its start).
int64_t copy_offset_us(const merge_run &m)
{
    if (m.start.cut_from_us == AV_NOPTS_VALUE)
        return 0;
    return std::max<int64_t>(0, m.start.cut_from_us - range_clock_start(m.ic));
}

// An input's chapter title without reading it: its header only.
std::string title_of_input(merge_run &m, int k)
{
    AVFormatContext *c = nullptr;
    int av_error = 0;
    std::string title;
    if (open_media_header(m.s->open_paths[k].c_str(), &c, &av_error) == VM_INPUT_OK)
        title = chapter_title(c, m.s->paths[k]);
    else
        title = chapter_title(nullptr, m.s->paths[k]);
    avformat_close_input(&c);
    return title;
}

// The chapters the host asked for. A muxer that takes them with its header
// gets them now: those of the first input (where its copy starts), or one
// per input laid out by the inputs' expected lengths, each input's title
// read from its header.
int begin_chapters(merge_run &m)
{
    vm_session *s = m.s;
    int mode = s->options.chapters;
    if (mode == VM_CHAPTERS_INPUTS && !muxer_stores_chapters(m.oc->oformat))
        s->not_applied.fetch_or(VM_NOT_APPLIED_CHAPTERS, std::memory_order_relaxed);
    if (mode != VM_CHAPTERS_INPUTS) {
        // The first input's chapters from where its copy starts, to where
        // its range ends (its container's duration when it is not cut).
        const input_piece &first = s->pieces[0];
        int64_t offset_us = copy_offset_us(m);
        int64_t length_us = m.ic->duration == AV_NOPTS_VALUE ? 0 : m.ic->duration - offset_us;
        if (first.to_ms >= 0)
            length_us = first.to_ms * 1000 + m.start.reorder_us - offset_us;
        return chapters_begin(&m.chapters, mode, m.ic, m.oc, offset_us, std::max<int64_t>(length_us, 0));
    }
    std::vector<std::string> titles;
    std::vector<int64_t> lengths_us;
    if (!muxer_takes_chapters_at_trailer(m.oc->oformat) && muxer_stores_chapters(m.oc->oformat)) {
        for (int k = 0; k < s->file_count; k++) {
            titles.push_back(k == 0 ? chapter_title(m.ic, s->paths[0]) : title_of_input(m, k));
            lengths_us.push_back(s->piece_ms[k] * 1000);
        }
    }
    return chapters_begin_inputs(&m.chapters, m.oc, titles, lengths_us);
}

// One output stream per kept stream of the first input, the file opened and
// the header written; then the timeline set up in the muxer's time bases.
// The muxer follows from the name the host gave; the bytes go to the job's
// temporary file.
int create_output(merge_run &m)
{
    vm_session *s = m.s;
    if (avformat_alloc_output_context2(&m.oc, nullptr, nullptr, s->out_path) < 0 || !m.oc ||
        !muxer_supported(m.oc->oformat))
        return fail(m, "cannot create output");
    if (m.oc->oformat->flags & AVFMT_NOFILE)  // refused at start already
        return fail(m, "cannot create output");
    // Should a muxer open a file of its own, it does so through this whitelist.
    m.oc->protocol_whitelist = av_strdup("file");
    if (!m.oc->protocol_whitelist)
        return fail(m, "oom");
    if (choose_streams(m) < 0)
        return -1;
    for (int i = 0; i < m.sel.count; i++) {
        if (m.sel.out_index[i] < 0)
            continue;
        AVStream *out = avformat_new_stream(m.oc, nullptr);
        if (!out)
            return fail(m, "new stream failed");
        AVBSFContext *bsf = m.filters.bsf[i];
        const AVCodecParameters *par = bsf ? bsf->par_out : m.ic->streams[i]->codecpar;
        if (setup_output_stream(out, m.ic->streams[i], par, m.oc->oformat) < 0)
            return fail(m, "param copy failed");
        out->codecpar->codec_tag = m.sel.codec_tag[i];
        if (carry_stream_props(m.ic->streams[i], out) < 0)
            return fail(m, "oom");
    }
    if (carry_file_props(m.ic, m.oc) < 0 || begin_chapters(m) < 0)
        return fail(m, "oom");
    int timecode = carry_timecode(m.oc, s->options.timecode, copy_offset_us(m));
    if (timecode < 0)
        return fail(m, "oom");
    if (timecode == 0 && s->options.timecode == VM_TIMECODE_CONTINUE)
        s->not_applied.fetch_or(VM_NOT_APPLIED_TIMECODE, std::memory_order_relaxed);
    int opened = output_file_open(&m.out, s->out.path, &s->out_dir, &m.oc->pb);
    if (opened == VM_OPEN_NO_REPLACE)  // found now rather than after the copy
        return fail_av(m, "cannot put the output in place", m.out.error);
    if (opened < 0)
        return m.out.error < 0 ? fail_av(m, "cannot open output file", m.out.error)
                               : fail(m, "cannot open output file");
    int flac = flac_output_numbers_frames(m.oc);
    if (flac < 0)
        return fail(m, "bad FLAC stream header");
    m.flac_numbering = flac > 0;
    m.mp3_delay_fix = mp3_output_needs_delay_fix(m.oc);
    AVDictionary *mux_opts = nullptr;
    int ret = output_muxer_options(m.oc, &mux_opts);
    // FFmpeg's Matroska muxer puts a CRC-32 element into every cluster by
    // default, and computing it was the largest single cost of a Matroska
    // merge (a quarter of the processor time of four 720p clips on FFmpeg
    // 5.1, whose CRC has no assembly). The element is optional: readers
    // that find none skip the check, and mkvmerge writes none either. The
    // packets, clusters and index stay as they were.
    const AVClass *muxer_class = m.oc->oformat->priv_class;
    if (ret >= 0 && muxer_class && av_opt_find(&muxer_class, "write_crc32", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
        ret = av_dict_set(&mux_opts, "write_crc32", "0", 0);
    if (ret >= 0)
        ret = avformat_write_header(m.oc, &mux_opts);
    av_dict_free(&mux_opts);
    if (ret < 0)
        return fail_av(m, "write header failed", ret);
    // The Matroska muxer builds each cluster in memory and writes it out in
    // one piece, a megabyte or more: that piece goes to the file as it is
    // instead of being copied through the I/O buffer first: about 10 ms of
    // the four 720p clips, for one small write more a cluster (its ID and
    // size, flushed before it). The header stays in the buffer until then,
    // as before.
    static const char *const WHOLE_CLUSTERS[] = {"matroska", "webm"};
    if (name_in(m.oc->oformat->name, WHOLE_CLUSTERS))
        m.oc->pb->direct = 1;
    if (timeline_begin_merge(&m.tl, m.n) < 0)
        return fail(m, "oom");
    m.held.assign(m.n, held_audio{});
    for (held_audio &h : m.held)
        for (AVPacket *&p : h.pkts)
            if (!(p = av_packet_alloc()))
                return fail(m, "oom");
    for (int i = 0; i < m.sel.count; i++) {
        int k = m.sel.out_index[i];
        if (k < 0)
            continue;
        m.tl.streams[k].out_tb = m.oc->streams[k]->time_base;
        m.tl.streams[k].kind = timeline_kind_of(m.ic->streams[i]);
        audio_clock_init(&m.tl.streams[k].audio, m.oc->streams[k]->codecpar, output_trims_padding(m.oc->oformat));
    }
    return 0;
}

// Places the input just begun on the timeline, from its start time (or its
// range's) and its first packets; a later input's leading frames that
// cannot decode are left out unless it continues the input before.
int place_input(merge_run &m)
{
    const input_piece &piece = m.s->pieces[m.j - 1];
    timeline_file f = timeline_file_of(m.ic);
    f.cut_start = piece.from_ms > 0;
    f.cut_end = piece.to_ms >= 0;
    if (m.start.cut_from_us != AV_NOPTS_VALUE)  // the copy starts there, not at the file's start
        f.start_us = m.start.cut_from_us;
    // The timeline counts output streams, the first packets input streams.
    std::vector<int64_t> first(m.n, AV_NOPTS_VALUE), lead(m.n, 0);
    for (int i = 0; m.start.first_us && i < m.sel.count; i++) {
        int k = output_stream_of(m.sel, i, m.j);
        if (k >= 0) {
            first[k] = m.start.first_us[i];
            lead[k] = m.start.dts_lead_us[i];
        }
    }
    f.first_us = first.data();
    f.dts_lead_us = lead.data();
    timeline_begin_file(&m.tl, f);
    // A range's start has no frames before it to refer to, whichever input.
    join_start_trim(&m.start, (m.j > 1 && !m.tl.continues) || f.cut_start);
    if (m.tl.continues && ts_boundary_fill(&m.boundary, m.s->open_paths[m.j - 2].c_str(),
                                           m.s->open_paths[m.j - 1].c_str(), m.ic, &m.start) < 0)
        return fail(m, "oom");
    ts_boundary_begin_file(&m.boundary, m.ic);
    return 0;
}

// Adds input j's chapters, or its one chapter.
int add_chapters_of_input(merge_run &m)
{
    std::string title;
    if (m.s->options.chapters == VM_CHAPTERS_INPUTS)
        title = chapter_title(m.ic, m.s->paths[m.j - 1]);
    return chapters_add_file(&m.chapters, m.ic, &m.tl, title) < 0 ? fail(m, "oom") : 0;
}

enum copy_end { COPY_EOF, COPY_CANCELLED, COPY_FAILED };

// Hands the rebased packet in m.pkt to the muxer, which takes its contents.
int mux_packet(merge_run &m)
{
    vm_session *s = m.s;
    int idx = m.pkt->stream_index;
    if (m.flac_numbering && flac_number_frame(m.pkt, m.oc->streams[idx]) < 0) {
        av_packet_unref(m.pkt);
        return fail(m, "oom");
    }
    if (m.mp3_delay_fix)
        mp3_keep_delay(m.pkt, s->packets.load(std::memory_order_relaxed) == 0);
    if (idx == 0)
        s->processed_ms.store(m.tl.processed_ms, std::memory_order_relaxed);
    s->packets.fetch_add(1, std::memory_order_relaxed);
    int ret = av_interleaved_write_frame(m.oc, m.pkt);
    av_packet_unref(m.pkt);
    if (ret < 0) {
        // The input is the reader's until it stops.
        read_ahead_stop(&m.ahead);
        char what[128];
        const AVStream *st = m.ic->streams[m.in_idx];
        format_text(what, sizeof what, "write frame failed (file %d, stream %d: %s, %s)", m.j, m.in_idx,
                    stream_kind(st), avcodec_get_name(st->codecpar->codec_id));
        return fail_av(m, what, ret);
    }
    return 0;
}

// Rebases the packet in m.pkt (its stream_index an output stream), read in
// time base in_tb, and hands it to the muxer; an audio packet goes in place
// of the one held back for its stream.
int write_packet(merge_run &m, AVRational in_tb)
{
    if (!timeline_rebase(&m.tl, m.pkt, in_tb)) {  // a later input's leading audio, left out
        av_packet_unref(m.pkt);
        return 0;
    }
    int idx = m.pkt->stream_index;
    if (m.tl.streams[idx].audio.sample_rate > 0) {
        // Into the ring; when it is full, its oldest packet goes on.
        held_audio &h = m.held[idx];
        if (h.count < AUDIO_HELD) {
            std::swap(m.pkt, h.pkts[(h.first + h.count++) % AUDIO_HELD]);
            return 0;
        }
        std::swap(m.pkt, h.pkts[h.first]);
        h.first = (h.first + 1) % AUDIO_HELD;
    }
    return mux_packet(m);
}

// Writes the audio packets held back, but for the last ones that the input
// just placed has them leave out (after the last input: every one).
int release_held(merge_run &m, bool last)
{
    for (int k = 0; k < m.n; k++) {
        held_audio &h = m.held[k];
        while (!last && h.count > 0 && timeline_drops_tail(&m.tl, k))
            av_packet_unref(h.pkts[(h.first + --h.count) % AUDIO_HELD]);
        for (; h.count > 0; h.count--) {
            std::swap(m.pkt, h.pkts[h.first]);
            h.first = (h.first + 1) % AUDIO_HELD;
            if (mux_packet(m) < 0)
                return -1;
        }
        timeline_release_held(&m.tl, k);
    }
    return 0;
}

// Sends m.pkt (or, with flush, the end of the stream) through input stream
// idx's filter and writes whatever comes out to output stream out.
int filter_and_write(merge_run &m, int idx, int out, bool flush)
{
    AVBSFContext *bsf = m.filters.bsf[idx];
    if (av_bsf_send_packet(bsf, flush ? nullptr : m.pkt) < 0) {
        av_packet_unref(m.pkt);
        return filter_failed(m);
    }
    for (;;) {
        int ret = av_bsf_receive_packet(bsf, m.pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return 0;
        if (ret < 0)
            return filter_failed(m);
        m.pkt->stream_index = out;
        if (write_packet(m, bsf->time_base_out) < 0)
            return -1;
    }
}

// The current input's next packet and its stream's time base: from the
// reading thread, or read here when none could be started.
int next_packet(merge_run &m, AVRational *tb)
{
    if (m.ahead)
        return read_ahead_take(m.ahead, m.pkt, tb);
    int ret = join_start_read(&m.start, m.ic, m.pkt);
    if (ret >= 0)
        *tb = m.ic->streams[m.pkt->stream_index]->time_base;
    return ret;
}

// Copies the current input to its end. Damage that the demuxer stops at
// ends the input like its end does (a damaged file is cut short, not
// refused); a read error fails the job, which would otherwise report done
// with the rest of the file missing.
copy_end copy_packets(merge_run &m)
{
    int ret;
    AVRational tb;
    m.ahead = read_ahead_start(&m.start, m.ic);
    while ((ret = next_packet(m, &tb)) >= 0) {
        if (m.s->cancel.load(std::memory_order_relaxed)) {
            av_packet_unref(m.pkt);
            return COPY_CANCELLED;
        }
        int idx = m.pkt->stream_index;
        int out = output_stream_of(m.sel, idx, m.j);
        if (out < 0) {  // a stream the output does not have, or has already
            av_packet_unref(m.pkt);
            continue;
        }
        bool filtered = m.filters.bsf[idx] != nullptr;
        ts_boundary_written(&m.boundary, idx, m.pkt);
        m.pkt->stream_index = out;
        m.in_idx = idx;
        int written = filtered ? filter_and_write(m, idx, out, false) : write_packet(m, tb);
        if (written < 0)
            return COPY_FAILED;
    }
    read_ahead_stop(&m.ahead);
    if (input_read_failed(m.ic, ret)) {
        format_text(m.s->error, VM_ERROR_CAP, "read failed (file %d)", m.j);
        return COPY_FAILED;
    }
    for (int idx = 0; idx < m.sel.count; idx++) {
        int out = output_stream_of(m.sel, idx, m.j);
        m.in_idx = idx;
        if (m.filters.bsf[idx] && out >= 0 && filter_and_write(m, idx, out, true) < 0)
            return COPY_FAILED;
    }
    reannex_close(&m.filters);
    return COPY_EOF;
}

// The same, with the reading thread stopped on every way out: the input is
// the merge's again.
copy_end copy_input(merge_run &m)
{
    copy_end end = copy_packets(m);
    read_ahead_stop(&m.ahead);
    return end;
}

// Moves on to input j after the one before has ended.
int next_input(merge_run &m)
{
    avformat_close_input(&m.ic);
    join_start_end(&m.start);
    free_analysis(&m.s->kept[m.j - 2]);  // the input just closed
    int av_error = 0;
    if (accept_input(m, prefetch_take(&m.next, &m.ic, &av_error, &m.reused)) < 0)
        return -1;
    if ((int)m.ic->nb_streams < m.sel.count)
        return fail(m, "stream count mismatch in %s", m.s->paths[m.j - 1].c_str());
    // The check passed before the job began, but the file may have been
    // replaced since: writing another codec's packets into the stream would
    // make a broken output that claims success.
    file_info f;
    if (summarize_input(m.ic, &f) < 0) {
        too_many_streams(m.s->paths[m.j - 1].c_str(), m.s->error, VM_ERROR_CAP);
        return -1;
    }
    char reason[VM_REASON_CAP];
    vm_stream_mask differ = 0;
    if (!compare_fileinfo(m.first, f, m.j, reason, &differ))
        return fail(m, "%s", reason);
    for (int j = 0; j < f.stream_count; j++)
        if ((differ & ~m.s->reannex) >> j & 1) {
            format_text(m.s->error, VM_ERROR_CAP, "parameter sets changed: file %d stream %d", m.j, j);
            return -1;
        }
    if (begin_input(m) < 0 || place_input(m) < 0 || release_held(m, false) < 0)
        return -1;
    return add_chapters_of_input(m);
}

// Writes the trailer and puts the output in place. Any error there (a full
// disk shows up here for small outputs, which are buffered) fails the job.
int finish_output(merge_run &m)
{
    m.s->finishing.store(1, std::memory_order_relaxed);
    if (chapters_finish(&m.chapters, m.oc) < 0)
        return fail(m, "oom");
    int ret = av_write_trailer(m.oc);
    int64_t size = 0;
    int committed = ret < 0 ? VM_COMMIT_WRITE_FAILED : output_file_commit(&m.out, &m.oc->pb, &size, m.file_time_us);
    if (committed == VM_COMMIT_SYNC_FAILED)
        return fail_av(m, "sync failed", m.out.error);
    if (committed == VM_COMMIT_RENAME_FAILED)
        return fail_av(m, "cannot put the output in place", m.out.error);
    if (committed < 0)
        return ret < 0 ? fail_av(m, "write trailer failed", ret) : fail(m, "write trailer failed");
    if (m.out.time_refused)
        m.s->not_applied.fetch_or(VM_NOT_APPLIED_FILE_TIME, std::memory_order_relaxed);
    m.s->out_size_bytes.store(size, std::memory_order_relaxed);
    m.s->output_ms.store(timeline_written_ms(&m.tl), std::memory_order_relaxed);
    return 0;
}

void release(merge_run &m)
{
    if (m.oc) {
        output_file_discard(&m.out, &m.oc->pb);
        avformat_free_context(m.oc);
        m.oc = nullptr;
    }
    output_dir_close(&m.s->out_dir);  // when the job ended before it made its file
    prefetch_discard(&m.next);
    read_ahead_stop(&m.ahead);
    join_start_end(&m.start);
    for (kept_analysis *&k : m.s->kept)
        free_analysis(&k);
    reannex_close(&m.filters);
    avformat_close_input(&m.ic);
    av_packet_free(&m.pkt);
    for (held_audio &h : m.held)
        for (AVPacket *&p : h.pkts)
            av_packet_free(&p);
    timeline_free(&m.tl);
    chapters_free(&m.chapters);
}

int run_merge(merge_run &m)
{
    vm_session *s = m.s;
    if (check_room(s->out_dir, s->out_path, s->estimated_bytes, s->error, VM_ERROR_CAP) < 0)
        return VM_STATE_FAILED;
    m.j = 1;
    int av_error = 0;
    if (accept_input(m, open_for_merge(s->open_paths[0].c_str(), s->kept[0], &m.ic, &av_error, &m.reused)) < 0)
        return VM_STATE_FAILED;
    if (summarize_input(m.ic, &m.first) < 0) {
        too_many_streams(s->paths[0].c_str(), s->error, VM_ERROR_CAP);
        return VM_STATE_FAILED;
    }
    m.file_time_us = s->options.file_time == VM_FILE_TIME_FIRST_INPUT ? recording_time_us(m.ic, s->in_status[0])
                                                                     : VM_TIME_NOW;
    // The first input's range is begun before the output is made: its
    // header takes the timecode and, in some containers, the chapters of
    // where the copy starts.
    if (begin_input(m) < 0 || create_output(m) < 0)
        return VM_STATE_FAILED;
    m.pkt = av_packet_alloc();
    if (!m.pkt) {
        fail(m, "oom");
        return VM_STATE_FAILED;
    }
    s->current_file.store(1, std::memory_order_relaxed);
    if (place_input(m) < 0 || add_chapters_of_input(m) < 0)
        return VM_STATE_FAILED;
    for (;;) {
        copy_end end = copy_input(m);
        if (end == COPY_CANCELLED)
            return VM_STATE_CANCELLED;
        if (end == COPY_FAILED)
            return VM_STATE_FAILED;
        bool more = m.j < s->file_count;
        timeline_end_file(&m.tl, more);
        if (m.j > 1)
            s->joins.push_back(join_record_of(m.tl, m.j));
        if (!more)
            break;
        m.j++;
        s->current_file.store(m.j, std::memory_order_relaxed);
        if (next_input(m) < 0)
            return VM_STATE_FAILED;
    }
    if (release_held(m, true) < 0)
        return VM_STATE_FAILED;
    // The last file ends where the sum of the files' lengths does.
    chapters_end_file(&m.chapters, m.tl.base_us);
    return finish_output(m) < 0 ? VM_STATE_FAILED : VM_STATE_DONE;
}

}  // namespace

void merge_thread(void *slot)
{
    vm_session *s = static_cast<vm_session *>(slot);
    s->state.store(VM_STATE_RUNNING, std::memory_order_release);
    int64_t start_us = av_gettime();

    merge_run m{};
    m.s = s;
    int outcome = run_merge(m);
    release(m);

    if (outcome == VM_STATE_DONE)
        s->elapsed_ms.store((av_gettime() - start_us) / 1000, std::memory_order_relaxed);
    s->state.store(outcome, std::memory_order_release);
}
