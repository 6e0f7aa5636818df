#include "platform/FileLogWriter.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "host/Files.h"

CLogWriterInterface* g_ptrLogWriter = nullptr;

void CLogWriterInterface::Write(int level, const char* function, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteV(level, function, line, format, args);
    va_end(args);
}

FileLogWriter& FileLogWriter::Instance() {
    // Never destroyed: threads and static destructors may still log at exit.
    static FileLogWriter* writer = new FileLogWriter();
    return *writer;
}

FileLogWriter::~FileLogWriter() {
    if (m_fd >= 0) ::close(m_fd);
}

CZuError FileLogWriter::Open(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) return FXErrorUtil::ErrorErrNo(FXLOC, errno, "cannot open log file [%s]", path.c_str());
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
    m_path = path;
    return CZuError::Success();
}

std::string FileLogWriter::GetPath() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

int FileLogWriter::GetLevel() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_level;
}

void FileLogWriter::SetLevel(int level) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_level = level;
}

void FileLogWriter::WriteV(int level, const char* function, int line, const char* format,
                           va_list args) {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    struct tm local;
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    std::string text = FXString::FormatV(format, args);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string record = FXString::Format("%s.%03lld %d %ld %d %s:%d ", stamp,
                                          static_cast<long long>(millis), static_cast<int>(::getpid()),
                                          static_cast<long>(::syscall(SYS_gettid)), level,
                                          function ? function : "?", line);
    record += text;
    record += '\n';

    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0 || level > m_level) return;
    // O_APPEND makes each write land whole at the end; a log that cannot be
    // written has nowhere to report to, so a failed write is dropped.
    ssize_t written = ::write(m_fd, record.data(), record.size());
    (void)written;
}
