#include "../terminal.h"

#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdio>

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

int terminal_width()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}

void catch_interrupts(void (*handler)(int))
{
    // The C runtime turns Ctrl-C and Ctrl-Break in the console into SIGINT.
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}
