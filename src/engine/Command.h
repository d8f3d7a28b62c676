#pragma once
// The printer command protocol of the update engine: the bytes of every command, the
// framing of every answer, and the answer decoder. Nothing here touches a port, so the
// decoder can be driven byte by byte by tests and fuzzers.
#include <cstddef>
#include <span>

#include "platform/Types.h"

// One command as data.
struct PrinterCommand {
    const char* pszName;
    std::span<const BYTE> bytes;
};

// The framing of an answer: how many payload bytes are expected and the mode byte, whose
// high nibble is the header style and whose low nibble is the payload style.
struct ResponseFormat {
    DWORD cbExpected;
    BYTE bMode;
};

inline constexpr BYTE HEADER_STYLE_SINGLE = 0x0;  // one header byte: the payload style
inline constexpr BYTE HEADER_STYLE_DLE = 0x1;     // 10, then 0x30 | payload style
inline constexpr BYTE PAYLOAD_NIBBLES = 0xE;      // Ex Fx per byte
inline constexpr BYTE PAYLOAD_TEXT = 0x2;         // printable characters 20..7F

inline constexpr BYTE FONT_LETTER_KANJI = 0x4B;
inline constexpr BYTE FONT_LETTER_CODEPAGE = 0x43;
inline constexpr BYTE FONT_LETTER_CPCL = 0x5A;
inline constexpr BYTE FONT_LETTER_ZPL = 0x7A;
inline constexpr std::size_t FONT_CHECKSUM_LEN = 20;

// The commands and answer formats of one command set.
struct CommandSet {
    PrinterCommand deviceId;
    PrinterCommand romId;
    PrinterCommand fwVersion;
    ResponseFormat idFormat;       // DEVICE ID and ROM ID answers
    ResponseFormat versionFormat;  // version text, 7 characters
};

extern const CommandSet STANDARD_COMMANDS;
extern const CommandSet EXTENDED_COMMANDS;
extern const PrinterCommand CMD_POST_UPDATE;
extern const ResponseFormat FONT_CHECKSUM_FORMAT;

// The Type ID whose models speak the extended set.
inline constexpr int TYPE_ID_EXTENDED_COMMANDS = 0x26;

// Selects the set for theApp.nTypeId: the extended one for 0x26 (and sets
// UF_EXT_COMMANDS), otherwise the standard one (and clears it). Update thread only.
void SelectCommandSet() noexcept;
// The set chosen last (the standard one before any choice).
const CommandSet& CurrentCommandSet() noexcept;

// CMD_FONT_CHECKSUM with the kind's query letter.
void BuildFontChecksumCommand(BYTE bLetter, BYTE (&command)[FONT_CHECKSUM_LEN]) noexcept;

// TRUE for bytes a printer may put anywhere into an answer: 11, 13, A0..AF, C0..DF.
BOOL IsIgnorableByte(BYTE b) noexcept;

// The answer decoder. Feed it the received bytes in arrival order, each once; it writes
// the payload into the caller's buffer. Not thread-safe; one per exchange.
class AnswerDecoder {
public:
    enum class State { Hunting, HeaderSeen, Payload, Done };
    enum class Step { More, Done, Abort };

    // pAnswer receives the payload; it must hold format.cbExpected bytes (cbAnswer is
    // checked, surplus payload bytes are never written past it).
    AnswerDecoder(ResponseFormat format, BYTE* pAnswer, std::size_t cbAnswer) noexcept;

    // Done: the answer is complete (no more bytes should be fed). Abort: a byte 01
    // outside a header ended the exchange. More: keep feeding.
    Step Feed(BYTE b) noexcept;
    State CurrentState() const noexcept { return m_state; }
    // Payload bytes stored for the answer being collected.
    std::size_t Stored() const noexcept { return m_nPos; }

private:
    void Restart() noexcept;
    Step FeedHeaderSeen(BYTE b) noexcept;
    Step FeedText(BYTE b) noexcept;
    Step FeedNibble(BYTE b) noexcept;
    Step EndMark() noexcept;

    ResponseFormat m_format;
    BYTE* m_pAnswer;
    std::size_t m_cbAnswer;
    BYTE m_bHeader;  // the only header byte (single style) or the second one (DLE style)
    State m_state = State::Hunting;
    DWORD m_nMissing = 0;
    std::size_t m_nPos = 0;
    bool m_bHighNext = false;
};

// Decodes a whole reply at once (for tests and fuzzing): Done with the payload in
// pAnswer, Abort, or More when the bytes end before the answer is complete.
AnswerDecoder::Step DecodeAnswer(ResponseFormat format, std::span<const BYTE> reply, BYTE* pAnswer,
                                 std::size_t cbAnswer) noexcept;
