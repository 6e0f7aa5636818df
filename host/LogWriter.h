#pragma once
// Process-wide log writer. Levels: -1 error, 0 normal, 1..7 more verbose.
// A line is written when its level is at most the writer's current level.
#include <cstdarg>

class CLogWriterInterface {
public:
    virtual ~CLogWriterInterface() = default;
    virtual int GetLevel() const = 0;
    virtual void SetLevel(int level) = 0;
    // `function` is the full signature of the caller (__PRETTY_FUNCTION__).
    virtual void WriteV(int level, const char* function, int line, const char* format,
                        va_list args) = 0;

    void Write(int level, const char* function, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
};

// Set up by the platform when a process initialises (TWPI_PlatformBase::InitProcess);
// null before that, in which case nothing is logged.
extern CLogWriterInterface* g_ptrLogWriter;

#define ZULOG(level, ...)                                                                 \
    do {                                                                                  \
        if (g_ptrLogWriter && (level) <= g_ptrLogWriter->GetLevel())                      \
            g_ptrLogWriter->Write((level), __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__);   \
    } while (0)

#define ZULOG_ERROR(...) ZULOG(-1, __VA_ARGS__)
#define ZULOG_NORMAL(...) ZULOG(0, __VA_ARGS__)
