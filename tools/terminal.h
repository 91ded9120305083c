// What the command needs of its console, per platform.
#ifndef VIDEOMERGE_TOOLS_TERMINAL_H
#define VIDEOMERGE_TOOLS_TERMINAL_H

// True when standard error is a terminal (a live bar makes sense there).
bool stderr_is_terminal();

// Columns of the terminal on standard error; 80 when unknown.
int terminal_width();

// Calls `handler` on Ctrl-C (and on a request to terminate).
void catch_interrupts(void (*handler)(int));

#endif
