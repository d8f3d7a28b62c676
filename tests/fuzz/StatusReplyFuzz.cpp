// The status channel's reply checks on arbitrary replies: byte 0 chooses the mode, bytes
// 1-2 the caller's buffer size, then the 13-byte header and the data that waits behind
// it. The first receive must fit both the buffer and what waits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "port/StatusReply.h"
#include "QuietLog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    if (cbData < 3 + STATUS_HEADER_SIZE) return 0;
    static const BYTE kCommand[3] = {0x40, 0x00, 0x80};
    int nMode = pData[0] % 3;
    DWORD cbBuffer = static_cast<DWORD>(pData[1] | pData[2] << 8);
    const BYTE* pHeader = pData + 3;
    StatusHeader header = ParseStatusHeader(pHeader, kCommand[nMode]);
    if (header.check != StatusHeader::Good) return 0;
    if (header.cbAnnounced > 0xFFFF) std::abort();
    const BYTE* pReply = pHeader + STATUS_HEADER_SIZE;
    DWORD cbAvail = static_cast<DWORD>(cbData - 3 - STATUS_HEADER_SIZE);
    if (header.cbAnnounced == 0 || cbAvail == 0) return 0;
    StatusDataPlan plan = PlanStatusData(nMode, cbAvail, cbBuffer, header.cbAnnounced);
    if (plan.action != StatusDataPlan::Take) return 0;
    if (plan.cbFirst > cbBuffer || plan.cbFirst > cbAvail) std::abort();
    if (nMode != OPT_REC_RAW && plan.cbFirst != header.cbAnnounced) std::abort();
    // Exactly the caller's size, so the sanitizer sees any copy beyond it.
    std::vector<BYTE> buffer(cbBuffer);
    if (plan.cbFirst > 0) std::memcpy(buffer.data(), pReply, plan.cbFirst);
    return 0;
}
