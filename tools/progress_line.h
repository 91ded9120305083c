// SPDX-License-Identifier: MIT
// The merge command's progress display: a bar redrawn in place on a
// terminal, plain lines otherwise.
#ifndef VIDEOMERGE_TOOLS_PROGRESS_LINE_H
#define VIDEOMERGE_TOOLS_PROGRESS_LINE_H

#include <cstdint>
#include <string>

struct progress_figures {
    double percent;
    int current_file, total_files;
    int64_t processed_ms, total_ms;
    double wall_ms;  // since the merge started
    bool finishing;  // every packet copied; the index, trailer and sync remain
};

// "[#######.............]  35.0%  file 2/4  48.1x  ETA 0:03" for a terminal
// of `width` columns; "finishing" instead of the ETA once every packet is
// copied.
std::string progress_bar(const progress_figures &p, int width);

// "35.0% file 2/4 48.1x eta 3s" for logs and pipes ("finishing" for the eta,
// as on the bar).
std::string progress_plain(const progress_figures &p);

#endif
