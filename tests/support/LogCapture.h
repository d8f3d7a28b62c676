#pragma once
// The log of a test in a temporary system root, and a working folder for one test (the
// program's files are relative).
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "log/Log.h"
#include "support/TempDir.h"

// Points the log at a temporary system root and sets it up as the program does.
class LogCapture {
public:
    explicit LogCapture(const std::string& root, const char* pszName = "Kelvo") : m_name(pszName) {
        std::filesystem::create_directories(root + "/var/log");
        ::setenv("KELVO_SYSROOT", root.c_str(), 1);
        LogResetForTest();
        LogSetup(LOG_PROGRAM_MASK, pszName);
    }
    ~LogCapture() {
        LogResetForTest();
        ::unsetenv("KELVO_SYSROOT");
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // What is logged is written by the log's thread: everything so far is in the file.
    std::string Text() const {
        LogFlush();
        return TempDir::Read(LogFolder() + "/" + m_name + ".log");
    }
    bool Contains(const std::string& needle) const { return Text().find(needle) != std::string::npos; }

private:
    std::string m_name;
};

// Runs a test in a folder and goes back afterwards (the program's files are relative).
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string& path) : m_old(std::filesystem::current_path()) {
        std::filesystem::current_path(path);
    }
    ~ScopedChdir() {
        std::error_code ec;
        std::filesystem::current_path(m_old, ec);
    }
    ScopedChdir(const ScopedChdir&) = delete;
    ScopedChdir& operator=(const ScopedChdir&) = delete;

private:
    std::filesystem::path m_old;
};
