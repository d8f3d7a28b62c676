#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/Time.h"
#include "platform/WinError.h"
#include "support/TempDir.h"

namespace {

struct DeadlineCase {
    DWORD start, timeout, now, remaining;
    bool expired;
};

TEST(Deadline, UnsignedDifferenceSurvivesTheWrap) {
    const DeadlineCase cases[] = {
        {1000, 500, 1000, 500, false},
        {1000, 500, 1499, 1, false},
        {1000, 500, 1500, 0, true},
        {0xFFFFFF00u, 0x200, 0x00000050u, 0x200 - 0x150, false},  // wrapped, not yet due
        {0xFFFFFF00u, 0x200, 0x00000100u, 0, true},               // wrapped and due
        {5, 0, 5, 0, true},
        {5, INFINITE, 4, INFINITE, false},  // "now" before start looks like 4 G ms: still never expires
    };
    for (const auto& c : cases) {
        Deadline d(c.start, c.timeout);
        EXPECT_EQ(d.Remaining(c.now), c.remaining) << c.start << "+" << c.timeout << " @" << c.now;
        EXPECT_EQ(d.Expired(c.now), c.expired) << c.start << "+" << c.timeout << " @" << c.now;
    }
}

TEST(Deadline, PollTimeouts) {
    EXPECT_EQ(TimeoutToPoll(INFINITE), -1);
    EXPECT_EQ(TimeoutToPoll(0), 0);
    EXPECT_EQ(TimeoutToPoll(1500), 1500);
    EXPECT_EQ(TimeoutToPoll(0x90000000u), 0x7FFFFFFF);
}

TEST(Tick, SleepAdvancesTheTickCount) {
    DWORD before = GetTickCount();
    Sleep(20);
    EXPECT_GE(GetTickCount() - before, 20u);
}

TEST(LastError, ErrnoTranslation) {
    const struct {
        int err;
        DWORD file, socket;
    } cases[] = {
        {ENOENT, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {EACCES, ERROR_ACCESS_DENIED, WSAEACCES},
        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {EINVAL, ERROR_INVALID_PARAMETER, WSAEINVAL},
        {EBUSY, ERROR_BUSY, ERROR_BUSY},
        {ETIMEDOUT, ERROR_TIMEOUT, WSAETIMEDOUT},
        {ECANCELED, ERROR_CANCELLED, ERROR_CANCELLED},
        {ENODEV, ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {ENXIO, ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {EIO, ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {ECONNREFUSED, ERROR_CONNECTION_REFUSED, WSAECONNREFUSED},
        {ECONNRESET, ERROR_GEN_FAILURE, WSAECONNRESET},
        {EAGAIN, ERROR_IO_PENDING, WSAEWOULDBLOCK},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrnoToWinError(c.err), c.file) << c.err;
        EXPECT_EQ(SocketErrnoToWinError(c.err), c.socket) << c.err;
    }
    EXPECT_EQ(ErrnoToWinError(0), ERROR_SUCCESS);
}

int g_unknownSeen = 0;

TEST(LastError, UnknownErrnoReachesTheHookAndIsAFailure) {
    SetUnknownErrnoHook([](int err, DWORD) { g_unknownSeen = err; });
    EXPECT_EQ(ErrnoToWinError(EREMOTEIO), ERROR_GEN_FAILURE);
    EXPECT_EQ(g_unknownSeen, EREMOTEIO);
    SetUnknownErrnoHook(nullptr);
}

TEST(LastError, GuardKeepsTheValueAcrossCleanUp) {
    SetLastError(ERROR_TIMEOUT);
    {
        LastErrorGuard keep;
        SetLastError(ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_EQ(SetLastErrorFromErrno(ENOENT), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Text, Utf8LimitsCountCharactersAndNeverCutInsideOne) {
    const std::string jp = "\xE8\xA8\xAD\xE5\xAE\x9A";  // two 3-byte characters
    EXPECT_EQ(Utf8Length(jp), 2u);
    EXPECT_EQ(Utf8Prefix(jp, 1), "\xE8\xA8\xAD");
    EXPECT_EQ(Utf8Prefix("ab" + jp, 3), "ab\xE8\xA8\xAD");
    EXPECT_EQ(Utf8Prefix("abc", 10), "abc");
    EXPECT_EQ(Utf8Prefix("abc", 0), "");

    std::string out;
    EXPECT_TRUE(FormatBounded(out, 5, "%s=%d", "ab", 42));
    EXPECT_EQ(out, "ab=42");
    EXPECT_TRUE(FormatBounded(out, 3, "x%s", jp.c_str()));  // 3 characters in 7 bytes fit
    EXPECT_EQ(out, "x" + jp);
    EXPECT_FALSE(FormatBounded(out, 2, "x%s", jp.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out, "x\xE8\xA8\xAD");
}

TEST(Text, ValidityAndSanitizing) {
    const struct {
        const char* text;
        bool valid;
        const char* sanitized;
    } cases[] = {
        {"plain", true, "plain"},
        {"\xE3\x81\x82", true, "\xE3\x81\x82"},
        {"a\xFF" "b", false, "a\xEF\xBF\xBD" "b"},
        {"\xC0\xAF", false, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong
        {"\xE3\x81", false, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // cut short
        {"\xED\xA0\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8IsValid(c.text), c.valid) << c.text;
        EXPECT_EQ(Utf8Sanitize(c.text), c.sanitized) << c.text;
    }
    EXPECT_TRUE(AsciiEqualNoCase("usb001", "USB001"));
    EXPECT_FALSE(AsciiEqualNoCase("COM1", "COM1:"));
}

TEST(Paths, SysrootPrefixesSystemPaths) {
    ::unsetenv("KELVO_SYSROOT");
    EXPECT_EQ(SysPath("/dev/ttyS0"), "/dev/ttyS0");
    ::setenv("KELVO_SYSROOT", "/tmp/root/", 1);
    EXPECT_EQ(SysPath("/dev/ttyS0"), "/tmp/root/dev/ttyS0");
    ::unsetenv("KELVO_SYSROOT");
}

TEST(Paths, DirectoriesAreMadeWithTheirExactMode) {
    TempDir tmp;
    std::string shared = tmp / "a/b/shared";
    ASSERT_TRUE(EnsureDirectories(tmp / "a/b", 0700));
    ASSERT_TRUE(EnsureDirectory(shared, 01777));
    EXPECT_TRUE(EnsureDirectory(shared, 01777));  // already there
    struct stat st {};
    ASSERT_EQ(::stat(shared.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    WriteWholeFile(tmp / "file", "x");
    EXPECT_FALSE(EnsureDirectory(tmp / "file", 0700));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(Time, FileTimesCountFrom1601) {
    EXPECT_EQ(UnixTimeToFileTime(timespec{0, 0}), 116444736000000000ull);
    LocalTime lt;
    lt.year = 1970;
    lt.month = 1;
    lt.day = 2;
    EXPECT_EQ(LocalTimeAsFileTime(lt), 116444736000000000ull + 86400ull * 10000000ull);
    TempDir tmp;
    WriteWholeFile(tmp / "f", "x");
    timespec times[2] = {{0, UTIME_OMIT}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "f").c_str(), times, 0), 0);
    ULONGLONG ft = 0;
    ASSERT_TRUE(GetFileLastWriteTime(tmp / "f", &ft));
    EXPECT_EQ(ft, 116444736000000000ull + 1000ull * 10000000ull);
    EXPECT_FALSE(GetFileLastWriteTime(tmp / "missing", &ft));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
