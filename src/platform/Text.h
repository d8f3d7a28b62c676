#pragma once
// UTF-8 text with the character limits of the design: limits count characters
// (code points), and a text is never cut inside a character.
#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

#define KELVO_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))

std::size_t Utf8Length(std::string_view text) noexcept;
// The longest prefix of at most nMaxChars characters.
std::string_view Utf8Prefix(std::string_view text, std::size_t nMaxChars) noexcept;
bool Utf8IsValid(std::string_view text) noexcept;
// Invalid sequences become U+FFFD, as an 8-bit conversion puts its default character.
std::string Utf8Sanitize(std::string_view text);

// printf into out with a limit of nMaxChars characters. TRUE when the whole text fits;
// otherwise out holds the first nMaxChars characters and the last error is
// ERROR_INSUFFICIENT_BUFFER. A format error gives FALSE with ERROR_INVALID_PARAMETER.
bool FormatBoundedV(std::string& out, std::size_t nMaxChars, const char* pszFormat, va_list args) noexcept;
bool FormatBounded(std::string& out, std::size_t nMaxChars, const char* pszFormat, ...) noexcept KELVO_PRINTF(3, 4);

// Unbounded printf to a string (empty on a format error).
std::string StrPrintf(const char* pszFormat, ...) KELVO_PRINTF(1, 2);
std::string StrPrintfV(const char* pszFormat, va_list args);

// ASCII letters compared without case; other bytes exactly.
bool AsciiEqualNoCase(std::string_view a, std::string_view b) noexcept;
