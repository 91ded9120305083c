// SPDX-License-Identifier: MIT
#include "progress_line.h"

#include <algorithm>
#include <cstdio>

namespace {

// Media time merged per wall-clock time, and the time left at that pace.
double speed_of(const progress_figures &p)
{
    return p.wall_ms > 0 ? (double)p.processed_ms / p.wall_ms : 0.0;
}

std::string eta_of(const progress_figures &p, bool clock)
{
    double speed = speed_of(p);
    if (speed <= 0 || p.total_ms <= 0)
        return clock ? "-:--" : "?";
    long left = std::max(0L, (long)((double)(p.total_ms - p.processed_ms) / speed / 1000.0 + 0.5));
    char buf[32];
    if (clock)
        std::snprintf(buf, sizeof buf, "%ld:%02ld", left / 60, left % 60);
    else
        std::snprintf(buf, sizeof buf, "%lds", left);
    return buf;
}

}  // namespace

// Once every packet is copied, the time left is no longer the media left at
// the pace so far: writing the index and syncing the disk is another pace.
std::string progress_bar(const progress_figures &p, int width)
{
    std::string left = p.finishing ? "finishing" : "ETA " + eta_of(p, true);
    char tail[96];
    std::snprintf(tail, sizeof tail, " %5.1f%%  file %d/%d  %.1fx  %s", p.percent, p.current_file,
                  p.total_files, speed_of(p), left.c_str());
    int cells = std::clamp(width - (int)std::string(tail).size() - 3, 10, 50);
    int full = (int)(p.percent / 100.0 * cells + 0.5);
    full = std::clamp(full, 0, cells);
    return "[" + std::string(full, '#') + std::string(cells - full, '.') + "]" + tail;
}

std::string progress_plain(const progress_figures &p)
{
    std::string left = p.finishing ? "finishing" : "eta " + eta_of(p, false);
    char line[128];
    std::snprintf(line, sizeof line, "%.1f%% file %d/%d %.1fx %s", p.percent, p.current_file,
                  p.total_files, speed_of(p), left.c_str());
    return line;
}
