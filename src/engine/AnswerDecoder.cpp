// The answer decoder: a pure state machine over received bytes, with no state of the
// program, so tests and fuzzers can drive it alone.
#include "engine/Command.h"

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
