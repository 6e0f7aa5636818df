#pragma once
// A fresh state root per test: KAX_ROOT points at a new temporary directory,
// which is removed afterwards together with the process's hold on it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "host/Files.h"
#include "host/Platform.h"
#include "platform/StateDb.h"

class TempStateRoot {
public:
    TempStateRoot() {
        char pattern[] = "/tmp/kaxroot.XXXXXX";
        const char* made = ::mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        path = made ? made : "";
        const char* previous = ::getenv("KAX_ROOT");
        if (previous) m_previous = previous;
        ::setenv("KAX_ROOT", path.c_str(), 1);
        TWPI_PlatformBase::SetFocusClientName("");
    }
    ~TempStateRoot() {
        StateDb::Close();
        CZuDirectory::RemoveTree(path);
        if (m_previous.empty())
            ::unsetenv("KAX_ROOT");
        else
            ::setenv("KAX_ROOT", m_previous.c_str(), 1);
    }
    std::string File(const std::string& name) const { return FXPath::Join(path, name); }

    std::string path;

private:
    std::string m_previous;
};

class StateRootTest : public ::testing::Test {
protected:
    TempStateRoot root;
};

// The text of the test process's log file.
inline std::string ReadLog() {
    std::string text;
    FXFile::ReadAll(TWPI_PlatformBase::GetLogFilePath(), text);
    return text;
}
