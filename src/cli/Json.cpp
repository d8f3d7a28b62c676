#include "cli/Json.h"

#include "platform/Text.h"

std::string JsonString(std::string_view text) {
    std::string valid = Utf8IsValid(text) ? std::string(text) : Utf8Sanitize(text);
    std::string out = "\"";
    for (char ch : valid) {
        unsigned char uch = static_cast<unsigned char>(ch);
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (uch < 0x20 || uch == 0x7F) {
                    out += StrPrintf("\\u%04x", uch);
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

void JsonObject::Key(std::string_view key) {
    if (!m_body.empty()) m_body += ',';
    m_body += JsonString(key);
    m_body += ':';
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value) {
    Key(key);
    m_body += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::int64_t value) {
    Key(key);
    m_body += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
    Key(key);
    m_body += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
    Key(key);
    m_body += "null";
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, const std::vector<std::string>& values) {
    Key(key);
    m_body += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) m_body += ',';
        m_body += JsonString(values[i]);
    }
    m_body += ']';
    return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json) {
    Key(key);
    m_body += json;
    return *this;
}
