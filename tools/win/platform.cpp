// SPDX-License-Identifier: MIT
#include "../platform.h"

#include <io.h>
#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs

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

std::vector<std::string> utf8_arguments(int argc, char **argv)
{
    int n = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    for (int i = 0; i < n; i++) {
        int len = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string a(len > 0 ? (size_t)len : 1, '\0');
        if (len > 0)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &a[0], len, nullptr, nullptr);
        a.resize(a.size() - 1);
        args.push_back(a);
    }
    LocalFree(wide);
    return args;
}

size_t file_name_offset(const std::string &path)
{
    size_t separator = path.find_last_of("/\\");
    if (separator != std::string::npos)
        return separator + 1;
    // "C:clip.mp4" names clip.mp4 in drive C's current directory.
    bool drive = path.size() >= 2 && path[1] == ':' &&
                 ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return drive ? 2 : 0;
}

// The Windows heap keeps freed blocks for reuse already.
void keep_freed_memory() {}
