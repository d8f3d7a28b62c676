#include "cli/Json.h"

#include <cstdlib>

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

const JsonValue* JsonValue::Find(std::string_view key) const {
    for (std::size_t i = 0; i < memberNames.size(); ++i) {
        if (memberNames[i] == key) return &memberValues[i];
    }
    return nullptr;
}

namespace {

constexpr int kMaxDepth = 64;

class JsonReader {
public:
    JsonReader(std::string_view text, std::size_t nMaxValues) : m_text(text), m_nValuesLeft(nMaxValues) {}

    bool Document(JsonValue* pValue) {
        SkipBlanks();
        if (!Value(pValue, 0)) return false;
        SkipBlanks();
        return m_at == m_text.size();
    }

private:
    void SkipBlanks() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' || m_text[m_at] == '\n' ||
                                         m_text[m_at] == '\r')) {
            ++m_at;
        }
    }
    bool Take(char ch) {
        if (m_at < m_text.size() && m_text[m_at] == ch) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        if (m_text.substr(m_at, word.size()) != word) return false;
        m_at += word.size();
        return true;
    }

    bool Value(JsonValue* pValue, int nDepth) {
        if (nDepth > kMaxDepth || m_at >= m_text.size() || m_nValuesLeft == 0) return false;
        --m_nValuesLeft;
        char ch = m_text[m_at];
        if (ch == '{') return Object(pValue, nDepth);
        if (ch == '[') return Array(pValue, nDepth);
        if (ch == '"') {
            pValue->type = JsonValue::Type::String;
            return String(&pValue->text);
        }
        if (Word("null")) {
            pValue->type = JsonValue::Type::Null;
            return true;
        }
        if (Word("true") || Word("false")) {
            pValue->type = JsonValue::Type::Bool;
            pValue->bValue = ch == 't';
            return true;
        }
        return Number(pValue);
    }

    bool Object(JsonValue* pValue, int nDepth) {
        pValue->type = JsonValue::Type::Object;
        ++m_at;
        SkipBlanks();
        if (Take('}')) return true;
        for (;;) {
            SkipBlanks();
            std::string key;
            if (!String(&key)) return false;
            SkipBlanks();
            if (!Take(':')) return false;
            SkipBlanks();
            JsonValue member;
            if (!Value(&member, nDepth + 1)) return false;
            pValue->memberNames.push_back(std::move(key));
            pValue->memberValues.push_back(std::move(member));
            SkipBlanks();
            if (Take('}')) return true;
            if (!Take(',')) return false;
        }
    }

    bool Array(JsonValue* pValue, int nDepth) {
        pValue->type = JsonValue::Type::Array;
        ++m_at;
        SkipBlanks();
        if (Take(']')) return true;
        for (;;) {
            SkipBlanks();
            JsonValue item;
            if (!Value(&item, nDepth + 1)) return false;
            pValue->items.push_back(std::move(item));
            SkipBlanks();
            if (Take(']')) return true;
            if (!Take(',')) return false;
        }
    }

    bool Hex4(unsigned* pCode) {
        if (m_text.size() - m_at < 4) return false;
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
            char ch = m_text[m_at++];
            code <<= 4;
            if (ch >= '0' && ch <= '9') {
                code |= static_cast<unsigned>(ch - '0');
            } else if (ch >= 'a' && ch <= 'f') {
                code |= static_cast<unsigned>(ch - 'a' + 10);
            } else if (ch >= 'A' && ch <= 'F') {
                code |= static_cast<unsigned>(ch - 'A' + 10);
            } else {
                return false;
            }
        }
        *pCode = code;
        return true;
    }

    static void AppendUtf8(std::string* pOut, unsigned code) {
        if (code < 0x80) {
            *pOut += static_cast<char>(code);
        } else if (code < 0x800) {
            *pOut += static_cast<char>(0xC0 | (code >> 6));
            *pOut += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *pOut += static_cast<char>(0xE0 | (code >> 12));
            *pOut += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *pOut += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *pOut += static_cast<char>(0xF0 | (code >> 18));
            *pOut += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *pOut += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *pOut += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool String(std::string* pOut) {
        if (!Take('"')) return false;
        std::string out;
        for (;;) {
            if (m_at >= m_text.size()) return false;
            char ch = m_text[m_at++];
            if (ch == '"') break;
            if (static_cast<unsigned char>(ch) < 0x20) return false;
            if (ch != '\\') {
                out += ch;
                continue;
            }
            if (m_at >= m_text.size()) return false;
            char esc = m_text[m_at++];
            switch (esc) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    unsigned code = 0;
                    if (!Hex4(&code)) return false;
                    if (code >= 0xD800 && code < 0xDC00 && m_text.substr(m_at, 2) == "\\u") {
                        std::size_t nBack = m_at;
                        m_at += 2;
                        unsigned low = 0;
                        if (Hex4(&low) && low >= 0xDC00 && low < 0xE000) {
                            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                        } else {
                            m_at = nBack;
                            code = 0xFFFD;
                        }
                    } else if (code >= 0xD800 && code < 0xE000) {
                        code = 0xFFFD;
                    }
                    AppendUtf8(&out, code);
                    break;
                }
                default: return false;
            }
        }
        if (!Utf8IsValid(out)) return false;
        *pOut = std::move(out);
        return true;
    }

    bool Number(JsonValue* pValue) {
        std::size_t nStart = m_at;
        Take('-');
        auto digits = [this] {
            std::size_t n = m_at;
            while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9') ++m_at;
            return m_at - n;
        };
        if (m_at < m_text.size() && m_text[m_at] == '0') {
            ++m_at;
        } else if (digits() == 0) {
            return false;
        }
        if (Take('.') && digits() == 0) return false;
        if (m_at < m_text.size() && (m_text[m_at] == 'e' || m_text[m_at] == 'E')) {
            ++m_at;
            if (!Take('+')) Take('-');
            if (digits() == 0) return false;
        }
        pValue->type = JsonValue::Type::Number;
        pValue->dValue = std::strtod(std::string(m_text.substr(nStart, m_at - nStart)).c_str(), nullptr);
        return true;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
    std::size_t m_nValuesLeft;
};

}  // namespace

bool ParseJson(std::string_view text, JsonValue* pValue, std::size_t nMaxValues) {
    JsonValue value;
    if (!JsonReader(text, nMaxValues).Document(&value)) return false;
    *pValue = std::move(value);
    return true;
}
