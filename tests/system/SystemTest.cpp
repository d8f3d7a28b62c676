#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstring>

#include "LogReader.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "system/System.h"

namespace {

class OsVersionTest : public LoggedTest {};

TEST_F(OsVersionTest, ReleaseNumbersBecomeTheVersionRecord) {
    struct Case {
        const char* pszRelease;
        BOOL bResult;
        DWORD dwMajor, dwMinor, dwBuild;
        const char* pszError;
    } cases[] = {
        {"6.1.0-18-amd64", TRUE, 6, 1, 0, nullptr},
        {"5.15.153.1-microsoft-standard-WSL2", TRUE, 5, 15, 153, nullptr},
        {"6.8.12", TRUE, 6, 8, 12, nullptr},
        {"6.8-rc1", FALSE, 6, 8, 0, "RegQueryValueEx 3"},
        {"linux", FALSE, 0, 0, 0, "RegQueryValueEx 1"},
        {"", FALSE, 0, 0, 0, "RegQueryValueEx 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszRelease);
        OSVERSIONINFOW info;
        std::memset(&info, 0xAB, sizeof info);
        int nBefore = c.pszError ? CountLines('E', ERROR_INVALID_DATA, c.pszError) : 0;
        EXPECT_EQ(ParseOsRelease(c.pszRelease, &info), c.bResult);
        EXPECT_EQ(info.dwMajorVersion, c.dwMajor);
        EXPECT_EQ(info.dwMinorVersion, c.dwMinor);
        EXPECT_EQ(info.dwBuildNumber, c.dwBuild);
        EXPECT_EQ(info.dwOSVersionInfoSize, 0u);
        EXPECT_EQ(info.dwPlatformId, 0u);
        for (char16_t ch : info.szCSDVersion) EXPECT_EQ(ch, 0);
        if (c.pszError) {
            EXPECT_EQ(CountLines('E', ERROR_INVALID_DATA, c.pszError), nBefore + 1) << LogText();
        }
    }
}

TEST_F(OsVersionTest, VersionTestsFollowTheRunningKernel) {
    utsname uts{};
    ASSERT_EQ(::uname(&uts), 0);
    OSVERSIONINFOW info;
    ASSERT_EQ(GetOsVersion(&info), TRUE) << uts.release;
    DWORD dwMajor = info.dwMajorVersion, dwMinor = info.dwMinorVersion;
    EXPECT_EQ(IsOsVersion(dwMajor, dwMinor), TRUE);
    EXPECT_EQ(IsOsVersion(dwMajor, static_cast<DWORD>(-1)), TRUE);
    EXPECT_EQ(IsOsVersion(dwMajor, dwMinor + 1), FALSE);
    EXPECT_EQ(IsOsVersion(dwMajor + 1, static_cast<DWORD>(-1)), FALSE);
    EXPECT_EQ(IsWindowsXp(), FALSE);
}

TEST(SetPrivilege, SucceedsWithoutAnythingToDo) {
    SetLastError(ERROR_GEN_FAILURE);
    EXPECT_EQ(SetPrivilege("SeDebugPrivilege", TRUE), TRUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

}  // namespace
