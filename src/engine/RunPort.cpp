// The one port of an update run and what surrounds it: competing services stopped, the
// serial defaults of the run applied.
#include "engine/Steps.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "port/ComConf.h"
#include "system/Service.h"

DWORD OpenRunPort(std::string* pPortName, HSDK* phSdk) noexcept {
    *phSdk = 0;
    // A port list line may carry a description after a TAB; the name ends at the first
    // one, so a description holding TABs of its own does not stay in the name.
    std::size_t tab = pPortName->find('\t');
    if (tab != std::string::npos) pPortName->resize(tab);
    SpoolerControl(FALSE, pPortName->c_str());
    PosServiceControl(FALSE);
    if (theApp.nPortKind == static_cast<int>(PORT_KIND_SERIAL) && theApp.pComConfig) {
        if (theApp.TestFlags(UF_RETRY)) {
            PushComConfigAndDefault(*theApp.pComConfig);
        } else {
            SetupComConfig(*theApp.pComConfig);
        }
    }
    DWORD dwResult = ReopenPort(phSdk, theApp.nPortKind, *pPortName);
    if (dwResult != ERROR_SUCCESS) {
        *phSdk = 0;
        CloseRunPort(0);
        SetLastError(dwResult);
    }
    return dwResult;
}

void CloseRunPort(HSDK hSdk) noexcept {
    if (hSdk != 0) pfnClosePort(hSdk, 0);
    SpoolerControl(TRUE, nullptr);
    PosServiceControl(TRUE);
}
