#include "log/LogQueue.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A writer that can be stopped at a gate, recording what it was given.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool bOpen = true;
    bool bInside = false;
    std::vector<std::string> written;
};
Gate g_gate;

void GatedWriter(std::vector<std::string>& entries) {
    std::unique_lock lock(g_gate.mutex);
    g_gate.bInside = true;
    g_gate.cv.notify_all();
    g_gate.cv.wait(lock, [] { return g_gate.bOpen; });
    for (std::string& entry : entries) g_gate.written.push_back(entry);
}

std::string DroppedLine(unsigned n) { return "dropped " + std::to_string(n); }

std::vector<std::string> Written() {
    std::lock_guard lock(g_gate.mutex);
    return g_gate.written;
}

class LogQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard lock(g_gate.mutex);
        g_gate.bOpen = true;
        g_gate.bInside = false;
        g_gate.written.clear();
    }
    void CloseGate() {
        std::lock_guard lock(g_gate.mutex);
        g_gate.bOpen = false;
        g_gate.bInside = false;
    }
    void WaitUntilInside() {
        std::unique_lock lock(g_gate.mutex);
        g_gate.cv.wait(lock, [] { return g_gate.bInside; });
    }
    void OpenGate() {
        std::lock_guard lock(g_gate.mutex);
        g_gate.bOpen = true;
        g_gate.cv.notify_all();
    }
};

std::string Entry(int n) { return "entry " + std::to_string(100 + n); }  // nine characters

TEST_F(LogQueueTest, FullQueueDropsCountsAndTellsBeforeTheNextEntryInOrder) {
    // Room for ten entries besides the one the writer holds.
    LogQueue queue(GatedWriter, DroppedLine, 10 * (9 + 64));
    CloseGate();
    queue.Push(Entry(0));
    WaitUntilInside();  // the writer holds entry 0 and waits: nothing more leaves the queue
    for (int i = 1; i <= 20; ++i) queue.Push(Entry(i));
    EXPECT_EQ(queue.DroppedTotal(), 10u);
    EXPECT_FALSE(queue.Flush(50));  // the writer cannot finish while the gate is shut
    OpenGate();
    EXPECT_TRUE(queue.Flush(10000));
    queue.Push(Entry(21));
    EXPECT_TRUE(queue.Flush(10000));
    std::vector<std::string> want;
    for (int i = 0; i <= 10; ++i) want.push_back(Entry(i));
    want.push_back("dropped 10");
    want.push_back(Entry(21));
    EXPECT_EQ(Written(), want);
    queue.Shutdown();
}

TEST_F(LogQueueTest, KeptEntriesWaitForTheDecisionAndFollowWhatItDoes) {
    LogQueue queue(GatedWriter, DroppedLine, 1 << 20);
    queue.Push("before");
    queue.Hold();
    queue.Push("kept 1");
    queue.Push("kept 2");
    EXPECT_TRUE(queue.Flush(10000));
    EXPECT_EQ(Written(), std::vector<std::string>{"before"});
    static std::vector<std::string> s_seenByBegin;
    queue.Release([] { s_seenByBegin = Written(); });
    queue.Push("after");
    EXPECT_TRUE(queue.Flush(10000));
    EXPECT_EQ(s_seenByBegin, std::vector<std::string>{"before"});
    EXPECT_EQ(Written(), (std::vector<std::string>{"before", "kept 1", "kept 2", "after"}));
    queue.Shutdown();
}

TEST_F(LogQueueTest, ShutdownWritesKeptEntriesAndLaterOnesAreWrittenByTheCaller) {
    LogQueue queue(GatedWriter, DroppedLine, 1 << 20);
    queue.Push("queued");
    queue.Hold();
    queue.Push("kept");
    queue.Shutdown();
    EXPECT_EQ(Written(), (std::vector<std::string>{"queued", "kept"}));
    queue.Push("late");  // at exit, after the thread ended: written before Push returns
    EXPECT_EQ(Written(), (std::vector<std::string>{"queued", "kept", "late"}));
}

}  // namespace
