#pragma once
// A temporary directory for one test, removed with everything in it.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvo-test-XXXXXX").string();
        char* made = ::mkdtemp(pattern.data());
        if (made != nullptr) m_path = made;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& rel) const { return m_path + "/" + rel; }

    void Write(const std::string& rel, const std::string& data) const;
    static std::string Read(const std::string& path);

private:
    std::string m_path;
};

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline void TempDir::Write(const std::string& rel, const std::string& data) const { WriteWholeFile(*this / rel, data); }
inline std::string TempDir::Read(const std::string& path) { return ReadWholeFile(path); }
