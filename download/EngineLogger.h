// The engine's one logger ("RUZ", file "DOZ.log"), shared by every live library reference.
#pragma once

#include <cstdarg>

namespace engine_log {

enum class Level { Trace = 10, Info = 30, Warn = 40, Error = 50 };

// The first live library reference creates the logger; the last one destroys it.
void acquire();
void release();
// The end banner, written by every release call, also one with nothing to release.
void writeEndBanner();
// Number of live references (tests).
int referenceCount();

// printf-style; dropped when no logger exists.
void write(Level level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void writeV(Level level, const char* format, va_list arguments);

}  // namespace engine_log

#define DLE_TRACE(...) ::engine_log::write(::engine_log::Level::Trace, __VA_ARGS__)
#define DLE_INFO(...) ::engine_log::write(::engine_log::Level::Info, __VA_ARGS__)
#define DLE_WARN(...) ::engine_log::write(::engine_log::Level::Warn, __VA_ARGS__)
#define DLE_ERROR(...) ::engine_log::write(::engine_log::Level::Error, __VA_ARGS__)
