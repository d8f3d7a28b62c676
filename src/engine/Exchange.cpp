// The command exchange over the port service and the two reconnection helpers.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "config/ConfigFile.h"
#include "discovery/UtilUsb.h"
#include "engine/Steps.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"

namespace {

constexpr DWORD RECEIVE_BUFFER = 1024;
constexpr DWORD ANSWER_LIMIT = 3000;
constexpr DWORD POLL_INTERVAL = 50;
constexpr DWORD WRITE_TIMEOUT = 1000;
constexpr DWORD USB_SEARCH_LIMIT = 5000;
constexpr DWORD USB_SEARCH_PAUSE = 100;

CUtilUsb* g_pUsbDiscovery = nullptr;

// Feeds the bytes that arrived since the last decoding step. Done and Abort end the
// exchange; More asks for further bytes.
AnswerDecoder::Step DecodeNew(AnswerDecoder& decoder, const BYTE* pReceived, DWORD* pnDecoded, DWORD cbReceived) {
    while (*pnDecoded < cbReceived) {
        AnswerDecoder::Step step = decoder.Feed(pReceived[(*pnDecoded)++]);
        if (step != AnswerDecoder::Step::More) return step;
    }
    return AnswerDecoder::Step::More;
}

}  // namespace

DWORD PortError() noexcept {
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INVALID_FLAG_NUMBER);
    return GetLastError();
}

void ReadOnceAfterReconnect(HSDK hSdk) noexcept {
    BYTE received[RECEIVE_BUFFER];
    DWORD cbRead = 0;
    pfnReadPort(hSdk, received, sizeof received, &cbRead);
}

DWORD ExchangeCommand(const BYTE* pCommand, DWORD cbCommand, HSDK hSdk, ResponseFormat format, BYTE* pAnswer,
                      DWORD cbAnswer, DWORD dwDelay, DWORD* pcbAnswer) noexcept {
    *pcbAnswer = 0;
    BYTE received[RECEIVE_BUFFER];
    DWORD cbRead = 0;
    if (!pfnReadPort(hSdk, received, sizeof received, &cbRead)) return PortError();
    if (!pfnWritePortEx(hSdk, pCommand, cbCommand, nullptr, WRITE_TIMEOUT)) return PortError();
    Sleep(dwDelay);

    std::memset(pAnswer, 0, cbAnswer);
    AnswerDecoder decoder(format, pAnswer, std::min<DWORD>(cbAnswer, format.cbExpected));
    Deadline answerDue(ANSWER_LIMIT);
    DWORD cbReceived = 0;
    DWORD nDecoded = 0;
    for (;;) {
        // Every caller ends its step on a cancel: the answer is not waited out for it.
        if (theApp.TestFlags(UF_CANCEL)) return ERROR_CANCELLED;
        cbRead = 0;
        BOOL bRead = pfnReadPort(hSdk, received + cbReceived, RECEIVE_BUFFER - cbReceived, &cbRead);
        if (bRead && cbRead > 0) {
            cbReceived += cbRead;
            if (answerDue.Expired()) return ERROR_CAN_NOT_COMPLETE;
            // Decoded as they come: the poll pause is only for an answer still incomplete,
            // so a complete one ends the exchange without one more pause and read.
            AnswerDecoder::Step step = DecodeNew(decoder, received, &nDecoded, cbReceived);
            if (step == AnswerDecoder::Step::Abort) return ERROR_CAN_NOT_COMPLETE;
            if (step == AnswerDecoder::Step::Done) break;
            // A full receive buffer that holds no answer can take no more bytes.
            if (cbReceived == RECEIVE_BUFFER) cbReceived = nDecoded = 0;
            Sleep(POLL_INTERVAL);
            continue;
        }
        if (answerDue.Expired()) return ERROR_CAN_NOT_COMPLETE;
        if (bRead) Sleep(POLL_INTERVAL);
    }
    *pcbAnswer = format.cbExpected;
    return ERROR_SUCCESS;
}

DWORD EngineOpenOptions() noexcept {
    DWORD dwOptions = OPT_TCP_CON_WITHOUT_OPEN;
    int nTypeId = theApp.nTypeId;
    if (nTypeId >= 0 && static_cast<std::size_t>(nTypeId) < MODEL_TABLE_SIZE &&
        (ModelTable[nTypeId].dwOptions & OPT_BT_SLEEP_BEFORE_CLOSE) != 0) {
        dwOptions |= OPT_BT_SLEEP_BEFORE_SHUT;
    }
    return dwOptions;
}

DWORD ReopenPort(HSDK* phSdk, int nPortKind, const std::string& portName) noexcept {
    SetLastError(ERROR_SUCCESS);
    if (pfnOpenPort(EngineOpenOptions(), static_cast<DWORD>(nPortKind), portName.c_str(), phSdk)) return ERROR_SUCCESS;
    return PortError();
}

void SetUsbDiscovery(CUtilUsb* pUsb) noexcept { g_pUsbDiscovery = pUsb; }
CUtilUsb* GetUsbDiscovery() noexcept { return g_pUsbDiscovery; }

// Finds the run's printer again by where it sits on the bus (the socket's port chain and
// its serial number, as the list saw them): another printer of the maker, attached before
// or restarting beside it (a fleet), is never taken. Only where sysfs told no identity
// does it compare names with those the list saw, taking the first new one.
int FindUsbPortAgain(CUtilUsb* pUsb, std::string* pPortName) noexcept {
    if (pUsb == nullptr) return 0;
    const UsbIdentity own = pUsb->SeenIdentity(*pPortName);
    Deadline search(USB_SEARCH_LIMIT);
    std::array<std::string, CUtilUsb::kMaxNames> present;
    int nNew = 0;
    for (;;) {
        for (std::string& name : present) name.clear();
        pUsb->FindUsbPrinters(nullptr, {}, present);
        bool bStillThere = false;
        std::string firstNew;
        nNew = 0;
        const auto& seen = pUsb->ppSeenNames;
        for (const std::string& name : present) {
            if (name.empty()) continue;
            if (own.Known()) {
                if (!pUsb->FoundIdentity(name).SamePrinter(own)) continue;
                if (name == *pPortName) {
                    bStillThere = true;
                } else if (nNew++ == 0) {
                    firstNew = name;
                }
                continue;
            }
            if (name == *pPortName) bStillThere = true;
            if (std::find(seen.begin(), seen.end(), name) == seen.end()) {
                if (nNew++ == 0) firstNew = name;
            }
        }
        if (bStillThere) break;
        if (nNew > 0) {
            if (firstNew.size() <= RUN_PORT_NAME_MAX) *pPortName = firstNew;
            break;
        }
        Sleep(USB_SEARCH_PAUSE);
        if (search.Expired()) break;
    }
    pUsb->KeepFound(std::move(present));
    return nNew;
}
