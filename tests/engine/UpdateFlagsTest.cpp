#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/Kelvo.h"

namespace {

TEST(UpdateFlags, SingleBitChangesFromManyThreadsAreNotLost) {
    CKelvoApp& app = theApp;
    app.dwUpdateFlags = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            DWORD dwBit = 1u << t;
            for (int i = 0; i < 20000; ++i) {
                theApp.SetFlags(dwBit);
                theApp.ClearFlags(dwBit);
            }
            theApp.SetFlags(dwBit);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(app.dwUpdateFlags.load(), 0xFu);
    app.dwUpdateFlags = 0;
}

}  // namespace
