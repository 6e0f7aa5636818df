#pragma once
// The log writer of this platform: one append-only file per process, one
// line per call, written with a single write(2) so that lines of concurrent
// threads and processes never interleave.
#include <mutex>
#include <string>

#include "host/LogWriter.h"
#include "host/ZuError.h"

class FileLogWriter : public CLogWriterInterface {
public:
    static FileLogWriter& Instance();

    // Opens (creating, appending) `path`, replacing the file written so far.
    CZuError Open(const std::string& path);
    std::string GetPath() const;

    int GetLevel() const override;
    void SetLevel(int level) override;
    void WriteV(int level, const char* function, int line, const char* format,
                va_list args) override;

private:
    FileLogWriter() = default;
    ~FileLogWriter() override;

    mutable std::mutex m_mutex;
    int m_fd = -1;
    std::string m_path;
    int m_level = 0;
};
