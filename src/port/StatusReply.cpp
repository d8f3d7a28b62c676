#include "port/StatusReply.h"

#include <cstring>

StatusHeader ParseStatusHeader(const BYTE* pHeader, BYTE bCommand) noexcept {
    StatusHeader header;
    if (std::memcmp(pHeader, "ZAQ", 4) != 0) return header;
    if (pHeader[6] != bCommand) {
        header.check = StatusHeader::BadCommand;
        return header;
    }
    header.check = StatusHeader::Good;
    header.cbAnnounced = static_cast<DWORD>(pHeader[11] | pHeader[12] << 8);
    header.wCounter = static_cast<std::uint16_t>(pHeader[9] | pHeader[10] << 8);
    return header;
}

StatusDataPlan PlanStatusData(int nMode, DWORD cbAvail, DWORD cbBuffer, DWORD cbAnnounced) noexcept {
    StatusDataPlan plan;
    if (cbAvail > cbBuffer || cbAnnounced > cbBuffer || cbAvail != cbAnnounced) {
        if (nMode != OPT_REC_RAW) return plan;
        // A raw reply that arrived whole but does not fit is refused; one still arriving
        // is collected as far as the buffer goes.
        if (cbAvail == cbAnnounced) {
            plan.action = StatusDataPlan::DropTooBig;
            return plan;
        }
    }
    plan.action = StatusDataPlan::Take;
    plan.cbFirst = cbAvail < cbBuffer ? cbAvail : cbBuffer;
    return plan;
}
