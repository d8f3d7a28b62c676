#include "platform/Text.h"

#include <cstdio>
#include <new>

#include "platform/LastError.h"
#include "platform/WinError.h"

namespace {

bool IsContinuation(unsigned char c) noexcept { return (c & 0xC0u) == 0x80u; }

// Length of the valid sequence at text[i], or 0 when it is not valid UTF-8.
std::size_t ValidSequenceLength(std::string_view text, std::size_t i) noexcept {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t n = 0;
    unsigned cp = 0;
    if (c < 0x80u) return 1;
    if (c >= 0xC2u && c <= 0xDFu) { n = 2; cp = c & 0x1Fu; }
    else if (c >= 0xE0u && c <= 0xEFu) { n = 3; cp = c & 0x0Fu; }
    else if (c >= 0xF0u && c <= 0xF4u) { n = 4; cp = c & 0x07u; }
    else return 0;
    if (i + n > text.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        auto cc = static_cast<unsigned char>(text[i + k]);
        if (!IsContinuation(cc)) return 0;
        cp = (cp << 6) | (cc & 0x3Fu);
    }
    bool overlong = (n == 3 && cp < 0x800u) || (n == 4 && cp < 0x10000u);
    bool surrogate = cp >= 0xD800u && cp <= 0xDFFFu;
    if (overlong || surrogate || cp > 0x10FFFFu) return 0;
    return n;
}

}  // namespace

std::size_t Utf8Length(std::string_view text) noexcept {
    std::size_t n = 0;
    for (char c : text) {
        if (!IsContinuation(static_cast<unsigned char>(c))) ++n;
    }
    return n;
}

std::string_view Utf8Prefix(std::string_view text, std::size_t nMaxChars) noexcept {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsContinuation(static_cast<unsigned char>(text[i]))) continue;
        if (chars == nMaxChars) return text.substr(0, i);
        ++chars;
    }
    return text;
}

bool Utf8IsValid(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = ValidSequenceLength(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string Utf8Sanitize(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = ValidSequenceLength(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

std::string StrPrintfV(const char* pszFormat, va_list args) {
    va_list probe;
    va_copy(probe, args);
    int n = std::vsnprintf(nullptr, 0, pszFormat, probe);
    va_end(probe);
    if (n < 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, pszFormat, args);
    return out;
}

std::string StrPrintf(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::string out = StrPrintfV(pszFormat, args);
    va_end(args);
    return out;
}

bool FormatBoundedV(std::string& out, std::size_t nMaxChars, const char* pszFormat, va_list args) noexcept {
    out.clear();
    try {
        va_list probe;
        va_copy(probe, args);
        int n = std::vsnprintf(nullptr, 0, pszFormat, probe);
        va_end(probe);
        if (n < 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        out.resize(static_cast<std::size_t>(n));
        std::vsnprintf(out.data(), out.size() + 1, pszFormat, args);
        if (Utf8Length(out) <= nMaxChars) return true;
        out.resize(Utf8Prefix(out, nMaxChars).size());
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    } catch (const std::bad_alloc&) {
        out.clear();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

bool FormatBounded(std::string& out, std::size_t nMaxChars, const char* pszFormat, ...) noexcept {
    va_list args;
    va_start(args, pszFormat);
    bool bOk = FormatBoundedV(out, nMaxChars, pszFormat, args);
    va_end(args);
    return bOk;
}

bool AsciiEqualNoCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}
