#pragma once

#include <atomic>
#include <cstdint>

namespace zq {

// The log file is its own on-switch: logging is on only when this file exists
// when an instance is created, and its first integer sets the verbosity.
inline constexpr const char* kLogPath = "/tmp/zwirbelton.log";

// Process-wide; written only while an instance is created. Atomic only so
// that hosts creating instances on two threads at once do not race on it.
extern std::atomic<std::int32_t> log_level;

// Reads the level from the log file at `path` (the fixed path in the plug-in;
// tests point it elsewhere) and appends the start-up line when it is on.
// Follows no symbolic link, never blocks, and reads or appends only a regular
// file of the user running the host; anything else counts as no file.
void log_open_switch(const char* path = kLogPath);

// Appends one formatted line to the file of the last switch when `level` is at
// most `log_level`.
void log_write(std::int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

} // namespace zq
