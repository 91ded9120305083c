// SPDX-License-Identifier: MIT
// videomerge: the command-line host of the library.
//
//   videomerge probe FILE
//   videomerge check [--order given|camera] [MERGE OPTIONS] FILE... | -l LIST | -
//   videomerge merge -o OUT [--order given|camera] [MERGE OPTIONS] FILE... | -l LIST | -
//
// Exit codes: 0 done, 1 failed, 2 bad usage or incompatible inputs,
// 130 cancelled (Ctrl-C, SIGTERM, SIGHUP).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <initializer_list>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "input_order.h"
#include "merge_options.h"
#include "platform.h"
#include "progress_line.h"
#include "videomerge.h"

namespace {

using json = nlohmann::json;

enum exit_code { EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_CANCELLED = 130 };

const char USAGE[] =
    "usage: videomerge probe FILE\n"
    "       videomerge check [--order ORDER] [MERGE OPTIONS] FILE... | -l LIST | -\n"
    "       videomerge merge -o OUT [--order ORDER] [MERGE OPTIONS] FILE... | -l LIST | -\n"
    "\n"
    "Joins media files end to end without re-encoding.\n"
    "\n"
    "  probe   describe a file's format, duration and streams\n"
    "  check   tell whether the files can be merged, and why not\n"
    "  merge   join the files, in order, into OUT (its extension picks the container)\n"
    "\n"
    "options:\n"
    "  -o OUT       the output file (merge)\n"
    "  -l LIST      read the input paths from LIST, one a line\n"
    "  -            read the input paths from standard input\n"
    "  --order given   join the files in the order given (the default)\n"
    "  --order camera  join them as the camera numbered them: GoPro chapter files\n"
    "               (GX010001.MP4, ...) by recording then chapter, other names in\n"
    "               natural order (clip2 before clip10); prints the order used\n"
    "  --json       print the library's JSON answers as they are; a merge prints\n"
    "               one progress line after another, then its result\n"
    "  -v, --verbose  show FFmpeg's messages at its own level (by default only errors)\n"
    "  --help       this text\n"
    "  --version    the version\n"
    "\n"
    "merge options (check takes them too: it judges them and counts trimmed lengths):\n"
    "  --chapters keep    the inputs' own chapters (the default)\n"
    "  --chapters inputs  one chapter per input, titled from its title tag, else\n"
    "               its file name without extension\n"
    "  --chapters none    no chapters\n"
    "  --trim N:FROM-TO   take only FROM to TO of file N: N counts from 1 in the\n"
    "               order used (with --order camera, as printed); FROM and TO as\n"
    "               seconds (12.5) or [h:]mm:ss[.mmm], either may be empty\n"
    "               (2:-30 is file 2 up to 30 s, 2:1:00- from 1 min to its end);\n"
    "               repeat it for more ranges. A range starts at the keyframe at\n"
    "               or before FROM, so a little more than asked may show\n"
    "  --file-time first  give OUT the first input's recording time (its\n"
    "               creation_time tag, else its modification time)\n"
    "  --file-time now    OUT's time is when it was written (the default)\n"
    "  --timecode continue  an MP4/MOV output whose first input has a timecode\n"
    "               gets a timecode track from it (the default)\n"
    "  --timecode none      no timecode track\n"
    "\n"
    "exit codes: 0 done, 1 failed, 2 bad usage or incompatible inputs, 130 cancelled\n";

volatile std::sig_atomic_t g_interrupted = 0;

void on_interrupt(int) { g_interrupted = 1; }

// Runs a library call that may take long (a probe or a check reading slow
// files) on a thread of its own, so that an interrupt is seen meanwhile.
// Returns false on an interrupt, with the call still running: probes and
// checks write nothing, so the process may end under them.
template <class Call> bool finished_uninterrupted(Call call)
{
    // The wait ends as soon as the call does, not at the next poll.
    std::promise<void> finished;
    std::future<void> done = finished.get_future();
    std::thread t([&call, finished = std::move(finished)]() mutable {
        call();
        finished.set_value();
    });
    while (done.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (g_interrupted) {
            t.detach();
            return false;
        }
    }
    t.join();
    return true;
}

// Ends the process at once on an interrupt during a probe, a check or the
// check of a start (the call on its thread cannot be stopped, and exit's
// cleanup would run under it).
[[noreturn]] void exit_interrupted()
{
    std::cerr << "videomerge: interrupted" << std::endl;
    std::cout.flush();
    std::_Exit(EXIT_CANCELLED);
}

// An answer of the library as JSON. The library's answers are valid JSON;
// should one not be, the command says so instead of failing on it.
json parsed(const char *answer)
{
    json j = json::parse(answer ? answer : "", nullptr, false);
    if (j.is_discarded() || !j.is_object())
        return json{{"ok", false}, {"error", "unreadable answer from the library"}};
    return j;
}

const char *probe_answer(const std::string &path)
{
    const char *answer = nullptr;
    if (!finished_uninterrupted([&] { answer = videomerge_probe(path.c_str()); }))
        exit_interrupted();
    return answer;
}

struct options {
    std::string command;
    std::vector<std::string> inputs;
    std::string out;
    bool json = false;
    bool verbose = false;
    bool camera_order = false;
    merge_options::chosen merge;
};

// Without merge options the calls of old are made, so that a plain check or
// merge stays what it was.
const char *check_answer(const std::string &list, const merge_options::chosen &merge)
{
    const char *answer = nullptr;
    std::string opts = merge.json();
    bool with = merge.any();
    if (!finished_uninterrupted([&] {
            answer = with ? videomerge_check_with(list.c_str(), opts.c_str()) : videomerge_check(list.c_str());
        }))
        exit_interrupted();
    return answer;
}

// True when the list alone passes the check that failed with the merge
// options: the options were at fault, a usage error, not the files.
bool options_at_fault(const std::string &list, const merge_options::chosen &merge)
{
    return merge.any() && parsed(check_answer(list, merge_options::chosen())).value("ok", false);
}

int usage_error(const std::string &msg)
{
    std::cerr << "videomerge: " << msg << "\n" << "Try 'videomerge --help'.\n";
    return EXIT_USAGE;
}

// Reads one path a line; blank lines are skipped, as the library does.
bool read_list(std::istream &in, std::vector<std::string> &paths)
{
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty())
            paths.push_back(line);
    }
    return !in.bad();
}

// The options that take a value, as "--name VALUE" or "--name=VALUE", and
// the values they take.
const std::pair<const char *, const char *> VALUED_OPTIONS[] = {
    {"--order", "given or camera"},     {"--chapters", "keep, inputs or none"},
    {"--trim", "N:FROM-TO"},            {"--file-time", "first or now"},
    {"--timecode", "continue or none"},
};

// The library's word for a value typed as one of `words` (typed, library's);
// empty when it is none of them.
std::string library_word(const std::string &typed,
                         std::initializer_list<std::pair<const char *, const char *>> words)
{
    for (const auto &w : words)
        if (typed == w.first)
            return w.second;
    return "";
}

// Parses the arguments; returns -1 when they are fine, else an exit code.
int parse_args(const std::vector<std::string> &argv, options &o)
{
    int argc = (int)argv.size();
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i], value;
        if (a == "--help" || a == "-h") {
            std::cout << USAGE;
            return EXIT_DONE;
        }
        if (a == "--version") {
            std::cout << "videomerge " << videomerge_version() << "\n";
            return EXIT_DONE;
        }
        for (const auto &v : VALUED_OPTIONS) {
            std::string name = v.first;
            if (a != name && a.rfind(name + "=", 0) != 0)
                continue;
            if (a != name)
                value = a.substr(name.size() + 1);
            else if (++i < argc)
                value = argv[i];
            else
                return usage_error(name + " needs a value: " + v.second);
            a = name;
        }
        if (a == "--json") {
            o.json = true;
        } else if (a == "-v" || a == "--verbose") {
            o.verbose = true;
        } else if (a == "--order") {
            if (value != "given" && value != "camera")
                return usage_error("unknown order '" + value + "': give 'given' or 'camera'");
            o.camera_order = value == "camera";
        } else if (a == "--chapters") {
            o.merge.chapters = library_word(value, {{"keep", "keep"}, {"inputs", "inputs"}, {"none", "none"}});
            if (o.merge.chapters.empty())
                return usage_error("unknown --chapters '" + value + "': give keep, inputs or none");
        } else if (a == "--file-time") {
            o.merge.file_time = library_word(value, {{"first", "first_input"}, {"now", "now"}});
            if (o.merge.file_time.empty())
                return usage_error("unknown --file-time '" + value + "': give first or now");
        } else if (a == "--timecode") {
            o.merge.timecode = library_word(value, {{"continue", "continue"}, {"none", "none"}});
            if (o.merge.timecode.empty())
                return usage_error("unknown --timecode '" + value + "': give continue or none");
        } else if (a == "--trim") {
            merge_options::trim_range range;
            std::string wrong = merge_options::parse_trim(value, range);
            if (!wrong.empty())
                return usage_error("bad --trim '" + value + "': " + wrong);
            o.merge.trims.push_back(range);
        } else if (a == "-o" || a == "-l") {
            if (++i >= argc)
                return usage_error(a + " needs a path");
            if (a == "-o") {
                o.out = argv[i];
            } else {
                std::ifstream list(std::filesystem::u8path(argv[i]));
                if (!list || !read_list(list, o.inputs))
                    return usage_error("cannot read the list " + std::string(argv[i]));
            }
        } else if (a == "-") {
            if (!read_list(std::cin, o.inputs))
                return usage_error("cannot read the list from standard input");
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            o.inputs.push_back(a);
        }
    }
    if (o.command != "probe" && o.command != "check" && o.command != "merge")
        return usage_error(o.command.empty() ? "no command given" : "unknown command " + o.command);
    if (o.camera_order && o.command == "probe")
        return usage_error("--order is for check and merge");
    if (o.merge.any() && o.command == "probe")
        return usage_error("--chapters, --trim, --file-time and --timecode are for check and merge");
    // The library's path list skips empty lines and drops the spaces and
    // carriage returns that end a line: such a path given here would be
    // left out, or read as another file's.
    for (const auto &p : o.inputs) {
        if (p.empty())
            return usage_error("an empty path was given");
        if (p.find('\n') != std::string::npos)
            return usage_error("a path holds a line feed: " + p);
        if (p.back() == ' ' || p.back() == '\r')
            return usage_error("a path ends in a space or carriage return, which a path list cannot carry: '" + p +
                               "'");
    }
    return -1;
}

std::string joined(const std::vector<std::string> &paths)
{
    std::string list;
    for (const auto &p : paths)
        list += p + "\n";
    return list;
}

std::string seconds(long long ms)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f s", ms / 1000.0);
    return buf;
}

int run_probe(const options &o)
{
    if (o.inputs.size() != 1)
        return usage_error("probe takes one file");
    const char *answer = probe_answer(o.inputs[0]);
    json j = parsed(answer);
    if (o.json)
        std::cout << answer << "\n";
    if (!j["ok"].get<bool>()) {
        if (!o.json)
            std::cerr << "videomerge: " << o.inputs[0] << ": " << j["error"].get<std::string>() << "\n";
        return EXIT_FAILED;
    }
    if (o.json)
        return EXIT_DONE;
    std::cout << o.inputs[0] << ": " << j["format"].get<std::string>() << ", "
              << seconds(j["duration_ms"].get<long long>()) << "\n";
    for (const auto &s : j["streams"]) {
        std::cout << "  #" << s["index"].get<int>() << " " << s["type"].get<std::string>() << " "
                  << s["codec"].get<std::string>();
        if (s["type"] == "video") {
            char fps[32];
            std::snprintf(fps, sizeof fps, "%.3f", s["fps"].get<double>());
            std::cout << " " << s["width"] << "x" << s["height"] << " " << fps << " fps";
        } else if (s["type"] == "audio") {
            std::cout << " " << s["channels"] << " ch " << s["sample_rate"] << " Hz";
        }
        long long rate = s["bitrate"];
        if (rate > 0)
            std::cout << " " << rate / 1000 << " kb/s";
        std::cout << "\n";
    }
    return EXIT_DONE;
}

int check_counts(const options &o)
{
    if (o.inputs.size() < 2)
        return usage_error("give at least 2 input files");
    return -1;
}

// What a user can do about one kind of difference, where a word helps.
const char *hint_for(const std::string &what)
{
    static const std::pair<const char *, const char *> HINTS[] = {
        {"rotation", "rotate this file without re-encoding (its display rotation), or join it apart"},
        {"size", "re-encode it to the first file's size, or join it apart"},
        {"sample_rate", "convert its audio to the first file's format, or join it apart"},
        {"channels", "convert its audio to the first file's format, or join it apart"},
        {"packaging", "the files come from other containers: remux them into one kind (.ts or .mp4) first"},
        {"codec_setup", "made with other encoder settings: re-encode it, or join it apart"},
        {"stream_order", "its tracks are in another order: remux it with the first file's track order"},
        {"stream_count", "it has other tracks: remux it with the first file's tracks"},
        {"kind", "its tracks are of other kinds: remux it with the first file's tracks"},
        {"codec", "another codec: re-encode it, or join it apart"},
    };
    for (const auto &h : HINTS)
        if (what == h.first)
            return h.second;
    return nullptr;
}

// Every difference the check found, a row each, with a hint per row.
void print_mismatches(const json &answer)
{
    auto found = answer.find("mismatches");
    if (found == answer.end() || !found->is_array() || found->empty())
        return;
    std::cerr << "  file  stream  what          expected         found\n";
    for (const json &m : *found) {
        std::string stream = m.value("stream", json()).is_number() ? std::to_string(m["stream"].get<int>()) : "-";
        std::string what = m.value("what", std::string("?"));
        char row[512];
        std::snprintf(row, sizeof row, "  %4d  %6s  %-12s  %-15s  %s", m.value("file", 0), stream.c_str(), what.c_str(),
                      m.value("expected", std::string()).c_str(), m.value("found", std::string()).c_str());
        std::cerr << row;
        if (const char *hint = hint_for(what))
            std::cerr << "  (" << hint << ")";
        std::cerr << "\n";
    }
}

// Prints the check's answer; returns the exit code it means.
int report_check(const options &o, const char *answer)
{
    json j = parsed(answer);
    if (o.json) {
        std::cout << answer << "\n";
    } else if (!j["ok"].get<bool>()) {
        std::cerr << "videomerge: " << j["error"].get<std::string>() << "\n";
    } else if (!j["compatible"].get<bool>()) {
        std::cerr << "videomerge: the files cannot be merged: " << j["reason"].get<std::string>() << "\n";
        print_mismatches(j);
    } else {
        std::cout << "compatible: " << j["files"] << " files, " << seconds(j["total_duration_ms"]);
        if (j.contains("estimated_size_bytes") && j["estimated_size_bytes"].is_number()) {
            long long kib = j["estimated_size_bytes"].get<long long>() / 1024;
            std::cout << ", about ";
            if (kib < 10240)
                std::cout << kib << " KiB";
            else
                std::cout << kib / 1024 << " MiB";
        }
        std::cout << "\n";
    }
    if (!j["ok"].get<bool>())
        return EXIT_FAILED;
    return j["compatible"].get<bool>() ? EXIT_DONE : EXIT_USAGE;
}

// Puts the inputs in the order asked for, once their number is right. A
// reason such as "file 3 stream 0" counts in this order, so it is told;
// standard output stays the library's answers alone under --json.
void order_inputs(options &o)
{
    if (!o.camera_order)
        return;
    o.inputs = input_order::camera_order(o.inputs);
    if (!o.json)
        for (size_t i = 0; i < o.inputs.size(); i++)
            std::cerr << "file " << i + 1 << ": " << o.inputs[i] << "\n";
}

int run_check(options &o)
{
    int bad = check_counts(o);
    if (bad >= 0)
        return bad;
    order_inputs(o);
    std::string list = joined(o.inputs);
    int code = report_check(o, check_answer(list, o.merge));
    // A file that cannot be read fails the check (exit 1); options that are
    // not valid for this list are bad usage, as a bad flag is.
    if (code == EXIT_FAILED && options_at_fault(list, o.merge))
        return EXIT_USAGE;
    return code;
}

// True when the progress answer says the job has copied every packet and
// is writing what follows them (the index, the trailer, the sync), which
// can take a while for a long output on a slow disk. A library without the
// "phase" key says nothing of it: the job is then taken as copying.
bool finishing(const json &progress)
{
    auto phase = progress.find("phase");
    return phase != progress.end() && phase->is_string() && *phase == "finishing";
}

// Polls the job until it ends; Ctrl-C cancels. Under --json each progress
// answer goes to standard output as it is, a line at a time, for a host
// that reads the command through a pipe: one as the job starts and at each
// change of state, and one every 250 ms between. Otherwise progress goes to
// standard error: a bar on a terminal, a line a second elsewhere. The last
// figures stay on screen, so that even a merge that ends within one poll
// shows where it got.
int watch(int id, const options &o)
{
    using clock = std::chrono::steady_clock;
    bool tty = stderr_is_terminal() && !o.json;
    auto start = clock::now();
    auto last_line = start - std::chrono::seconds(10);
    auto show = [&](bool last) {
        auto now = clock::now();
        json p = parsed(videomerge_progress(id));
        if (!p.contains("percent"))
            return;
        progress_figures f{p["percent"], p["current_file"], p["total_files"], p["processed_ms"],
                           p["total_ms"], std::chrono::duration<double, std::milli>(now - start).count(),
                           finishing(p)};
        if (tty) {
            std::cerr << "\r" << progress_bar(f, terminal_width()) << (last ? "\n" : "") << std::flush;
        } else if (last || now - last_line >= std::chrono::seconds(1)) {
            std::cerr << progress_plain(f) << "\n";
            last_line = now;
        }
    };
    int printed_state = -1;
    auto last_printed = start;
    auto print_answer = [&](int state) {
        const char *answer = videomerge_progress(id);
        json p = parsed(answer);
        if (p.contains("percent")) {
            // Flushed at once: a host shows it now, not when a buffer fills.
            std::cout << answer << "\n" << std::flush;
            if (p["state"].is_number_integer())
                state = p["state"].get<int>();
        }
        printed_state = state;
        last_printed = clock::now();
    };
    int state;
    bool cancelling = false;
    // The state is read often, so that the command ends soon after the job
    // does (a status is one atomic read); progress is shown less often.
    auto last_shown = start - std::chrono::seconds(1);
    while ((state = videomerge_status(id)) < VIDEOMERGE_STATE_DONE) {
        if (g_interrupted && !cancelling) {
            videomerge_cancel(id);
            cancelling = true;
        }
        auto now = clock::now();
        if (o.json) {
            if (state != printed_state || now - last_printed >= std::chrono::milliseconds(250))
                print_answer(state);
        } else if (now - last_shown >= std::chrono::milliseconds(50)) {
            show(false);
            last_shown = now;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!o.json)
        show(true);
    else if (state != printed_state)  // the answer that says it ended
        print_answer(state);
    return state;
}

// The container named by the output's extension, as the user wrote it.
std::string container_of(const std::string &out)
{
    size_t dot = out.find_last_of('.');
    size_t slash = out.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return "the output";
    return out.substr(dot + 1);
}

// One line per stream of the first input that the output does not have.
void report_left_out(const options &o, const json &result)
{
    if (!result.contains("streams_left_out") || result["streams_left_out"].empty())
        return;
    json probe = json::parse(videomerge_probe(o.inputs[0].c_str()));
    for (const auto &index : result["streams_left_out"]) {
        int i = index.get<int>();
        std::string kind = "stream", codec = "?";
        if (probe.value("ok", false))
            for (const auto &s : probe["streams"])
                if (s["index"] == i) {
                    kind = s["type"].get<std::string>();
                    codec = s["codec"].get<std::string>();
                }
        std::cerr << "left out stream " << i << " (" << kind << ", " << codec
                  << "): " << container_of(o.out) << " cannot store it\n";
    }
}

// FFmpeg's name for the container the output's extension picks
// ("mpegts" for .ts), as the library picks it.
std::string muxer_of(const std::string &out)
{
    const AVOutputFormat *format = av_guess_format(nullptr, out.c_str(), nullptr);
    return format ? format->name : container_of(out);
}

// One line per merge option the output could not honour.
void report_not_applied(const options &o, const json &result)
{
    auto names = result.find("options_not_applied");
    if (names == result.end() || !names->is_array())
        return;
    std::string muxer = muxer_of(o.out);
    std::string container = o.out + "'s container (" + muxer + ")";
    for (const json &name : *names) {
        if (!name.is_string())
            continue;
        if (name == "chapters") {
            std::cerr << "chapters not written: " << container << " cannot store them\n";
        } else if (name == "timecode") {
            // MP4 and MOV store a timecode track: there the first input had
            // no timecode to continue.
            if (muxer == "mp4" || muxer == "mov")
                std::cerr << "timecode not written: the first input, " << o.inputs[0] << ", has none\n";
            else
                std::cerr << "timecode not written: " << container << " cannot store one\n";
        } else if (name == "file_time") {
            std::cerr << "file time not set: the system refused the first input's time for " << o.out << "\n";
        } else {
            std::cerr << name.get<std::string>() << " not applied: " << container << " cannot honour it\n";
        }
    }
}

// One line on how the joins came out: how far audio is heard from where
// its pictures have it at worst, and whether any of it was left out.
void report_joins(const json &result)
{
    auto joins = result.find("joins");
    if (joins == result.end() || !joins->is_array() || joins->empty())
        return;
    bool audio = false;
    double worst_ms = 0;
    long long left_out = 0;
    for (const json &j : *joins) {
        if (!j.contains("audio_offset_ms"))
            continue;
        audio = true;
        worst_ms = std::max(worst_ms, std::fabs(j["audio_offset_ms"].get<double>()));
        left_out += j.value("audio_left_out", 0LL);
    }
    std::ostringstream line;
    line << joins->size() << (joins->size() == 1 ? " join" : " joins");
    if (audio) {
        line.setf(std::ios::fixed);
        line.precision(1);
        // Under a sample at 48 kHz, and nothing left out: as recorded.
        bool exact = left_out == 0 && worst_ms < 0.021;
        line << (exact ? ": audio exact, " : ": ") << "A/V within " << worst_ms << " ms";
        if (left_out > 0)
            line << " (" << left_out << " audio samples left out to fit)";
    }
    std::cerr << line.str() << "\n";
}

int run_merge(options &o)
{
    if (o.out.empty())
        return usage_error("merge needs an output: -o OUT");
    int bad = check_counts(o);
    if (bad >= 0)
        return bad;
    order_inputs(o);
    std::string list = joined(o.inputs);
    // The start checks the inputs first, which may take long; an interrupt
    // then ends the process at once. At worst the job had just begun, and
    // its temporary file is left, as after a kill; the output path is
    // untouched either way.
    int id = -1;
    std::string opts = o.merge.json();
    if (!finished_uninterrupted([&] {
            id = o.merge.any() ? videomerge_start_with(list.c_str(), o.out.c_str(), opts.c_str())
                               : videomerge_start(list.c_str(), o.out.c_str());
        }))
        exit_interrupted();
    if (id == -3 || id == -5) {
        // The start checked and refused; ask again only to say why.
        return report_check(o, check_answer(list, o.merge));
    }
    if (id == -1 && o.merge.any()) {
        // The check with the same arguments judges the options against the
        // list; when it finds nothing wrong, the output was refused.
        const char *answer = check_answer(list, o.merge);
        if (!parsed(answer).value("ok", true)) {
            report_check(o, answer);
            return EXIT_USAGE;
        }
    }
    if (id == -1)
        return usage_error("cannot merge into " + o.out +
                           ": it is one of the inputs, a file another merge reads or writes, not a regular "
                           "file, a format that writes files of its own, or a path is longer than the "
                           "library takes");
    if (id < 0) {
        std::cerr << "videomerge: cannot start the merge (code " << id << ")\n";
        return EXIT_FAILED;
    }
    int state = watch(id, o);
    const char *answer = videomerge_result(id);
    json r = parsed(answer);
    if (o.json) {
        std::cout << answer << "\n" << std::flush;
    } else {
        report_left_out(o, r);
        report_not_applied(o, r);
    }
    videomerge_free(id);
    if (state == VIDEOMERGE_STATE_CANCELLED) {
        std::cerr << "videomerge: cancelled; " << o.out << " left as it was\n";
        return EXIT_CANCELLED;
    }
    if (state != VIDEOMERGE_STATE_DONE) {
        std::cerr << "videomerge: merge failed: " << r.value("error", std::string("?")) << "; " << o.out
                  << " left as it was\n";
        return EXIT_FAILED;
    }
    if (!o.json) {
        long long ms = r["elapsed_ms"], bytes = r["out_size_bytes"];
        std::cerr << "merged " << r["files_merged"] << " files into " << o.out << " (" << bytes / 1024
                  << " KiB, " << seconds(r["output_duration_ms"].get<long long>())
                  << ") in " << seconds(ms) << "\n";
        report_joins(r);
    }
    return EXIT_DONE;
}

}  // namespace

int main(int argc, char **argv)
{
    catch_interrupts(on_interrupt);
    keep_freed_memory();
    options o;
    int early = parse_args(utf8_arguments(argc, argv), o);
    if (early >= 0)
        return early;
    // FFmpeg's notes on every packet of a long recording would bury the
    // command's own lines; its errors still show.
    av_log_set_level(o.verbose ? AV_LOG_INFO : AV_LOG_ERROR);
    if (o.command == "probe")
        return run_probe(o);
    if (o.command == "check")
        return run_check(o);
    return run_merge(o);
}
