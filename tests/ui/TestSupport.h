#pragma once
// Shared by the config, ui and engine tests: a temporary folder that is also the system
// root of the log, the working folder of a test, and the log file's text.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "log/Log.h"

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kelvo-test-XXXXXX").string();
        char* psz = ::mkdtemp(tmpl.data());
        if (psz != nullptr) m_path = psz;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

    void Write(const std::string& name, const std::string& data) const {
        std::ofstream out(*this / name, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string m_path;
};

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

    std::string Text() const { return TempDir::Read(LogFolder() + "/" + m_name + ".log"); }
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
