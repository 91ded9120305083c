// SPDX-License-Identifier: MIT
#include "../platform.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#ifdef __GLIBC__
#include <malloc.h>
#endif

bool stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }

int terminal_width()
{
    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

void catch_interrupts(void (*handler)(int))
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sa.sa_flags = SA_RESTART;  // a read of the path list goes on
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> utf8_arguments(int argc, char **argv)
{
    return std::vector<std::string>(argv, argv + argc);  // bytes, as the system gives them
}

size_t file_name_offset(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

void keep_freed_memory()
{
#ifdef __GLIBC__
    // Blocks up to 32 MiB come from the heap, and up to 128 MiB freed at
    // its top stay there.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
#endif
}
