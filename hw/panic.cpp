#include "hw/panic.h"

#include <cstdarg>
#include <cstdio>
#include <stdexcept>

extern "C" void panic(const char* format, ...) {
    char text[257];
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (written < 0) throw std::runtime_error("panic: the message could not be formatted");
    throw std::runtime_error(text);
}
