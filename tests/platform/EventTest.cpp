#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <string>

#include "platform/Event.h"
#include "platform/LastError.h"
#include "platform/Thread.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"

namespace {

struct Pipe {
    UniqueFd r, w;
    Pipe() {
        int fds[2];
        if (::pipe(fds) == 0) {
            r.Reset(fds[0]);
            w.Reset(fds[1]);
        }
    }
};

TEST(Event, ManualResetStaysSignalledForEveryWaiter) {
    Event ev(true, false);
    EXPECT_EQ(WaitForEvent(ev, 0), WAIT_TIMEOUT);
    ev.Set();
    ev.Set();  // setting twice is still one signal
    EXPECT_EQ(WaitForEvent(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForEvent(ev, 0), WAIT_OBJECT_0);
    ev.Reset();
    EXPECT_EQ(WaitForEvent(ev, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(ev.IsSet());
}

TEST(Event, AutoResetIsConsumedByOneWaiter) {
    Event ev(false, true);
    EXPECT_EQ(WaitForEvent(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForEvent(ev, 0), WAIT_TIMEOUT);
    ev.Set();
    ev.Set();
    EXPECT_EQ(WaitForEvent(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForEvent(ev, 0), WAIT_TIMEOUT);
}

TEST(Event, OneSetWakesExactlyOneOfTwoBlockedWaiters) {
    Event ev(false, false);
    Event oneWoke(false, false);
    std::atomic<int> woken{0};
    Thread a, b;
    auto waiter = [&] {
        if (WaitForEvent(ev, 10000) == WAIT_OBJECT_0) {
            ++woken;
            oneWoke.Set();
        }
    };
    ASSERT_TRUE(a.Start(waiter));
    ASSERT_TRUE(b.Start(waiter));
    ev.Set();
    ASSERT_EQ(WaitForEvent(oneWoke, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(woken.load(), 1);  // one signal, one winner
    ev.Set();
    EXPECT_EQ(a.WaitForEnd(10000), WAIT_OBJECT_0);
    EXPECT_EQ(b.WaitForEnd(10000), WAIT_OBJECT_0);
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(WaitForEvent(ev, 0), WAIT_TIMEOUT);  // both signals consumed, none left over
}

TEST(WaitForAny, LowestReadyIndexWinsAcrossEventsAndFds) {
    Event cancel(true, false), terminate(true, false);
    Pipe device;
    std::array items{WaitItem::For(terminate), WaitItem::For(cancel), WaitItem::ForFd(device.r.Get(), POLLIN)};
    EXPECT_EQ(WaitForAny(items, 10), WAIT_TIMEOUT);

    ASSERT_EQ(::write(device.w.Get(), "x", 1), 1);
    short revents = 0;
    EXPECT_EQ(WaitForAny(items, 0, &revents), WAIT_OBJECT_0 + 2);
    EXPECT_TRUE(revents & POLLIN);

    cancel.Set();
    EXPECT_EQ(WaitForAny(items, 0), WAIT_OBJECT_0 + 1);
    terminate.Set();
    EXPECT_EQ(WaitForAny(items, 0), WAIT_OBJECT_0 + 0);
}

TEST(WaitForAny, AnFdBeforeASignalledEventIsStillAskedFirst) {
    Event unset(true, false), set(false, true);
    Pipe device;
    ASSERT_EQ(::write(device.w.Get(), "x", 1), 1);
    std::array items{WaitItem::For(unset), WaitItem::ForFd(device.r.Get(), POLLIN), WaitItem::For(set)};
    EXPECT_EQ(WaitForAny(items, 0), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(set.IsSet());  // the auto-reset event behind the ready fd is not consumed
    std::array eventFirst{WaitItem::For(set), WaitItem::ForFd(device.r.Get(), POLLIN)};
    EXPECT_EQ(WaitForAny(eventFirst, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(set.IsSet());
}

// Whether fd is readable now.
bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST(Event, AnFdHandedOutMirrorsTheEventWhateverCameBefore) {
    for (bool bManual : {true, false}) {
        SCOPED_TRACE(bManual ? "manual reset" : "auto reset");
        Event ev(bManual, false);
        ev.Set();  // nobody polls yet
        const int fd = ev.Fd();
        EXPECT_TRUE(Readable(fd));
        ev.Reset();
        EXPECT_FALSE(Readable(fd));
        ev.Set();
        EXPECT_TRUE(Readable(fd));
        EXPECT_EQ(WaitForEvent(ev, 0), WAIT_OBJECT_0);
        EXPECT_EQ(Readable(fd), bManual);  // a won auto-reset signal leaves the fd drained
    }
}

TEST(WaitForAny, HangUpOfTheDeviceCountsAsFiring) {
    Pipe device;
    device.w.Reset();
    short revents = 0;
    EXPECT_EQ(WaitForAny(std::array{WaitItem::ForFd(device.r.Get(), POLLIN)}, 1000, &revents), WAIT_OBJECT_0);
    EXPECT_TRUE(revents & POLLHUP);
}

TEST(WaitForAny, EventSetFromAnotherThreadWakesAnInfiniteWait) {
    Event ev(true, false);
    Thread setter;
    Event go(false, false);
    ASSERT_TRUE(setter.Start([&] {
        WaitForEvent(go, INFINITE);
        ev.Set();
    }));
    go.Set();
    EXPECT_EQ(WaitForEvent(ev, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(setter.WaitForEnd(INFINITE), WAIT_OBJECT_0);
}

TEST(Thread, TimedWaitForTheEnd) {
    Event release(true, false);
    Thread worker;
    ASSERT_TRUE(worker.Start([&] { WaitForEvent(release, INFINITE); }));
    EXPECT_FALSE(worker.Start([] {}));  // one thread at a time
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    EXPECT_EQ(worker.WaitForEnd(20), WAIT_TIMEOUT);
    EXPECT_FALSE(worker.HasEnded());
    release.Set();
    EXPECT_EQ(worker.WaitForEnd(5000), WAIT_OBJECT_0);
    EXPECT_TRUE(worker.HasEnded());
    EXPECT_FALSE(worker.Attached());
    EXPECT_EQ(worker.WaitForEnd(0), WAIT_OBJECT_0);  // nothing attached
    ASSERT_TRUE(worker.Start([] {}));                // reusable after the join
}

// A thread of this process with that id is still there.
bool TaskExists(pid_t tid) { return ::access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0; }

TEST(JobThread, JobsRunOneAtATimeOnOneThreadUntilStop) {
    JobThread worker;
    EXPECT_FALSE(worker.Attached());
    EXPECT_EQ(worker.WaitForEnd(0), WAIT_OBJECT_0);  // nothing handed yet
    Event release(true, false);
    std::atomic<pid_t> first{0}, second{0};
    std::atomic<DWORD> dwErrorSeen{1};
    ASSERT_TRUE(worker.Start([&] {
        first = ::gettid();
        SetLastError(ERROR_BUSY);
        WaitForEvent(release, INFINITE);
    }));
    EXPECT_TRUE(worker.Attached());
    EXPECT_FALSE(worker.Start([] {}));  // one job at a time
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    EXPECT_EQ(worker.WaitForEnd(20), WAIT_TIMEOUT);
    EXPECT_FALSE(worker.HasEnded());
    EXPECT_FALSE(worker.EndEvent().IsSet());
    release.Set();
    EXPECT_EQ(WaitForEvent(worker.EndEvent(), INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(worker.HasEnded());
    EXPECT_TRUE(worker.Attached());  // until a wait has seen the end
    EXPECT_EQ(worker.WaitForEnd(0), WAIT_OBJECT_0);
    EXPECT_FALSE(worker.Attached());
    ASSERT_TRUE(worker.Start([&] {
        second = ::gettid();
        dwErrorSeen = GetLastError();
    }));
    EXPECT_EQ(worker.WaitForEnd(INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(first, second);  // the same thread, kept between jobs
    EXPECT_NE(first, ::gettid());
    EXPECT_TRUE(TaskExists(first));
    EXPECT_EQ(dwErrorSeen, ERROR_SUCCESS);  // each job starts as on a new thread
    worker.Stop();
    EXPECT_FALSE(TaskExists(first));
    worker.Stop();  // a second stop is nothing
    std::atomic<pid_t> third{0};
    ASSERT_TRUE(worker.Start([&] { third = ::gettid(); }));  // a new thread after Stop
    EXPECT_EQ(worker.WaitForEnd(INFINITE), WAIT_OBJECT_0);
    EXPECT_NE(third, 0);
    EXPECT_NE(third, ::gettid());
}

TEST(JobThread, DestructionWaitsForTheJobThenEndsTheThread) {
    Event release(true, false);
    std::atomic<bool> bDone{false};
    std::atomic<pid_t> tid{0};
    Thread setter;
    {
        JobThread worker;
        ASSERT_TRUE(worker.Start([&] {
            tid = ::gettid();
            WaitForEvent(release, INFINITE);
            bDone = true;
        }));
        ASSERT_TRUE(setter.Start([&] { release.Set(); }));
    }
    EXPECT_TRUE(bDone);  // the job ran to its end before the worker went
    EXPECT_FALSE(TaskExists(tid));
    EXPECT_EQ(setter.WaitForEnd(INFINITE), WAIT_OBJECT_0);
}

}  // namespace
