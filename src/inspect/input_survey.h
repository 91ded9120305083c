// Reading the summaries of a check's inputs, several at once: each input is
// opened and analysed on its own, so the check spreads them over as many
// threads as the machine has cores, each holding one open input at a time.
#ifndef VIDEOMERGE_INPUT_SURVEY_H
#define VIDEOMERGE_INPUT_SURVEY_H

#include "inspect/compat.h"

// One input's summary, or why it could not be read.
struct surveyed_input {
    int status;  // 0 read, -1 cannot be read (error set), 1 not read (not needed)
    file_info info;
    char error[VM_FILEINFO_ERROR_CAP];
    kept_analysis *kept;  // with keep: what its analysis found, or null
};

// Reads inputs 0..count-1 into out[0..count-1]. An input after the first one
// that cannot be read may be left unread: the check stops there anyway.
// With `keep`, each input's analysis is kept for the merge.
void survey_inputs(const vm_path_slots paths, int count, surveyed_input *out, bool keep = false);

#endif
