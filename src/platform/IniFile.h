#pragma once
// A small INI store ("[Section]" lines and "key=value" lines) for the user's settings.
// Keys and sections keep their order; comments and blank lines are not kept.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Types.h"

class CIniFile {
public:
    // Reads the file. A missing file is an empty store (TRUE); FALSE with the last error
    // when it exists but cannot be read.
    BOOL Load(const std::string& path);
    // Writes the store: a temporary file in the same folder renamed over the old one, so
    // a crash never leaves half a file. Missing folders are made (mode 0700). FALSE with
    // the last error.
    BOOL Save(const std::string& path) const;

    std::optional<std::string> Get(const std::string& section, const std::string& key) const;
    // A value read as an unsigned 32-bit number (decimal or 0x hexadecimal); nothing when
    // missing or not such a number.
    std::optional<DWORD> GetDword(const std::string& section, const std::string& key) const;
    void Set(const std::string& section, const std::string& key, const std::string& value);
    void SetDword(const std::string& section, const std::string& key, DWORD dwValue);

    // The file's text as Save writes it.
    std::string Text() const;

private:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> values;
    };
    Section* Find(const std::string& section);
    const Section* Find(const std::string& section) const;

    std::vector<Section> m_sections;
};
