#pragma once
// A small JSON writer for kelvo-cli's result object: one object, written field by field.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The text as a JSON string literal with its quotes. Control characters, quotes and
// backslashes are escaped; bytes that are no UTF-8 become U+FFFD, so the output is
// always valid JSON whatever a printer or a file name held.
std::string JsonString(std::string_view text);

// Builds {"a":1,"b":"x",...} in the order the fields are added.
class JsonObject {
public:
    JsonObject& Add(std::string_view key, std::string_view value);
    JsonObject& Add(std::string_view key, const char* value) { return Add(key, std::string_view(value)); }
    JsonObject& Add(std::string_view key, std::int64_t value);
    JsonObject& Add(std::string_view key, bool value);
    JsonObject& AddNull(std::string_view key);
    JsonObject& Add(std::string_view key, const std::vector<std::string>& values);
    // A value that is already JSON text (an inner object or array).
    JsonObject& AddRaw(std::string_view key, std::string_view json);
    std::string Text() const { return "{" + m_body + "}"; }

private:
    void Key(std::string_view key);
    std::string m_body;
};

// A parsed JSON value; an object keeps its members in the order of the text.
struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool bValue = false;
    double dValue = 0;
    std::string text;
    std::vector<JsonValue> items;
    // An object's members as two lists of one length: a pair would need JsonValue
    // complete here, which libc++ and clang's checks insist on.
    std::vector<std::string> memberNames;
    std::vector<JsonValue> memberValues;
    // The first member named key of an object; null when none (or not an object).
    const JsonValue* Find(std::string_view key) const;
};

// One JSON text (RFC 8259; blanks around it allowed). FALSE for anything else, for
// nesting deeper than 64 levels, for more than nMaxValues values (each value takes far
// more memory than its text), and for strings that are no UTF-8 (\u escapes of lone
// surrogates become U+FFFD).
bool ParseJson(std::string_view text, JsonValue* pValue, std::size_t nMaxValues = SIZE_MAX);
