// The common way to fail with a printf-style message.
#pragma once

extern "C" {
// Formats at most 256 characters and throws std::runtime_error with them. Never returns.
[[noreturn]] void panic(const char* format, ...) __attribute__((format(printf, 1, 2)));
}
