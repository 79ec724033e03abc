// How a run ends where it fails. Included by the program's units alone.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// Every failure ends here: one message on standard output, no line end, exit status 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::exit(1);
}
