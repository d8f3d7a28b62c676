#include "engine/Command.h"

#include <algorithm>
#include <array>

#include "engine/Kelvo.h"

namespace {

// 32 zero bytes wake a printer that sits in the middle of a raster or a text line.
template <std::size_t N>
constexpr std::array<BYTE, 32 + N> WithWakeUp(const std::array<BYTE, N>& tail) {
    std::array<BYTE, 32 + N> out{};
    for (std::size_t i = 0; i < N; ++i) out[32 + i] = tail[i];
    return out;
}

constexpr std::array<BYTE, 3> kStdDeviceIdTail{0x1D, 0x49, 0x01};
constexpr auto kStdDeviceId = WithWakeUp(kStdDeviceIdTail);
constexpr std::array<BYTE, 3> kStdRomId{0x1D, 0x49, 0x03};
constexpr std::array<BYTE, 3> kStdFwVersion{0x1D, 0x49, 0x41};

// Extended set: 1F 4C 44 31, payload length 4 (little-endian), 49 44 54, function.
constexpr std::array<BYTE, 12> ExtendedCommand(BYTE bFunction) {
    return {0x1F, 0x4C, 0x44, 0x31, 0x04, 0x00, 0x00, 0x00, 0x49, 0x44, 0x54, bFunction};
}
constexpr auto kExtDeviceId = WithWakeUp(ExtendedCommand(0x01));
constexpr auto kExtRomId = ExtendedCommand(0x03);
constexpr auto kExtFwVersion = ExtendedCommand(0x41);

constexpr std::array<BYTE, 2> kPostUpdate{0x12, 0x40};

const CommandSet* g_pCurrentSet = &STANDARD_COMMANDS;

}  // namespace

const CommandSet STANDARD_COMMANDS{
    {"CMD_DEVICE_ID", kStdDeviceId},
    {"CMD_ROM_ID", kStdRomId},
    {"CMD_FW_VERSION", kStdFwVersion},
    {1, 0x0E},
    {7, 0x02},
};

const CommandSet EXTENDED_COMMANDS{
    {"CMD_DEVICE_ID", kExtDeviceId},
    {"CMD_ROM_ID", kExtRomId},
    {"CMD_FW_VERSION", kExtFwVersion},
    {1, 0x1E},
    {7, 0x12},
};

const PrinterCommand CMD_POST_UPDATE{"CMD_POST_UPDATE", kPostUpdate};
const ResponseFormat FONT_CHECKSUM_FORMAT{2, 0x0E};

void SelectCommandSet() noexcept {
    if (theApp.nTypeId == TYPE_ID_EXTENDED_COMMANDS) {
        g_pCurrentSet = &EXTENDED_COMMANDS;
        theApp.SetFlags(UF_EXT_COMMANDS);
    } else {
        g_pCurrentSet = &STANDARD_COMMANDS;
        theApp.ClearFlags(UF_EXT_COMMANDS);
    }
}

const CommandSet& CurrentCommandSet() noexcept { return *g_pCurrentSet; }

void BuildFontChecksumCommand(BYTE bLetter, BYTE (&command)[FONT_CHECKSUM_LEN]) noexcept {
    auto header = MakeDownloadHeader('F', static_cast<char>(bLetter));
    std::copy(header.begin(), header.end(), command);
}

BOOL IsIgnorableByte(BYTE b) noexcept {
    return b == 0x11 || b == 0x13 || (b >= 0xA0 && b <= 0xAF) || (b >= 0xC0 && b <= 0xDF);
}

AnswerDecoder::AnswerDecoder(ResponseFormat format, BYTE* pAnswer, std::size_t cbAnswer) noexcept
    : m_format(format), m_pAnswer(pAnswer), m_cbAnswer(cbAnswer) {
    BYTE bPayload = format.bMode & 0x0F;
    m_bHeader = (format.bMode >> 4) == HEADER_STYLE_DLE ? static_cast<BYTE>(0x30 | bPayload) : bPayload;
}

void AnswerDecoder::Restart() noexcept {
    m_nMissing = m_format.cbExpected;
    m_nPos = 0;
    m_bHighNext = false;
}

AnswerDecoder::Step AnswerDecoder::Feed(BYTE b) noexcept {
    bool bDle = (m_format.bMode >> 4) == HEADER_STYLE_DLE;
    if (!bDle && b == m_bHeader) {
        Restart();
        m_state = State::Payload;
        return Step::More;
    }
    if (bDle && b == 0x10) {
        Restart();
        m_state = State::HeaderSeen;
        return Step::More;
    }
    if (b == 0x01) return Step::Abort;
    switch (m_state) {
        case State::HeaderSeen: return FeedHeaderSeen(b);
        case State::Payload:
            return (m_format.bMode & 0x0F) == PAYLOAD_TEXT ? FeedText(b) : FeedNibble(b);
        case State::Hunting:
        case State::Done: break;
    }
    return Step::More;
}

AnswerDecoder::Step AnswerDecoder::FeedHeaderSeen(BYTE b) noexcept {
    if (b == m_bHeader) {
        m_state = State::Payload;
    } else if (!IsIgnorableByte(b)) {
        m_state = State::Hunting;
    }
    return Step::More;
}

AnswerDecoder::Step AnswerDecoder::EndMark() noexcept {
    if (m_nMissing == 0) {
        m_state = State::Done;
        return Step::Done;
    }
    m_state = State::Hunting;
    return Step::More;
}

AnswerDecoder::Step AnswerDecoder::FeedText(BYTE b) noexcept {
    if (b == 0x00) return EndMark();
    // Filler bytes may stand anywhere, also between the last character and the end mark.
    if (IsIgnorableByte(b)) return Step::More;
    if (m_nMissing == 0) {
        m_state = State::Hunting;
    } else if (b >= 0x20 && b <= 0x7F) {
        if (m_nPos < m_cbAnswer) m_pAnswer[m_nPos] = b;
        ++m_nPos;
        --m_nMissing;
    } else {
        m_state = State::Hunting;
    }
    return Step::More;
}

AnswerDecoder::Step AnswerDecoder::FeedNibble(BYTE b) noexcept {
    if (!m_bHighNext) {
        if ((b & 0xF0) == 0xE0) {
            if (m_nMissing == 0) {
                m_state = State::Hunting;
            } else {
                if (m_nPos < m_cbAnswer) m_pAnswer[m_nPos] = static_cast<BYTE>(b & 0x0F);
                m_bHighNext = true;
            }
        } else if (b == 0x00) {
            return EndMark();
        } else if (!IsIgnorableByte(b)) {
            m_state = State::Hunting;
        }
        return Step::More;
    }
    if ((b & 0xF0) == 0xF0) {
        if (m_nPos < m_cbAnswer) m_pAnswer[m_nPos] = static_cast<BYTE>(m_pAnswer[m_nPos] | ((b & 0x0F) << 4));
        ++m_nPos;
        --m_nMissing;
        m_bHighNext = false;
    } else if (!IsIgnorableByte(b)) {
        m_state = State::Hunting;
    }
    return Step::More;
}

AnswerDecoder::Step DecodeAnswer(ResponseFormat format, std::span<const BYTE> reply, BYTE* pAnswer,
                                 std::size_t cbAnswer) noexcept {
    AnswerDecoder decoder(format, pAnswer, cbAnswer);
    for (BYTE b : reply) {
        AnswerDecoder::Step step = decoder.Feed(b);
        if (step != AnswerDecoder::Step::More) return step;
    }
    return AnswerDecoder::Step::More;
}
