// The answer decoder on arbitrary printer replies: the first two bytes choose the
// expected count and the mode, the rest is the reply. The payload must never be written
// past the expected count, and a Done answer must hold exactly that many bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "engine/Command.h"
#include "QuietLog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    if (cbData < 2) return 0;
    static const BYTE kModes[] = {0x0E, 0x1E, 0x02, 0x12};
    ResponseFormat format{static_cast<DWORD>(pData[0] % 9), kModes[pData[1] % 4]};
    // Exactly the expected size, so the sanitizer sees any write beyond it.
    std::vector<BYTE> answer(format.cbExpected);
    AnswerDecoder decoder(format, answer.data(), answer.size());
    for (std::size_t i = 2; i < cbData; ++i) {
        AnswerDecoder::Step step = decoder.Feed(pData[i]);
        if (step == AnswerDecoder::Step::Done && decoder.Stored() != format.cbExpected) std::abort();
        if (step != AnswerDecoder::Step::More) break;
    }
    return 0;
}
