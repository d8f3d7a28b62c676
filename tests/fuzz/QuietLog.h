#pragma once
// Called from LLVMFuzzerInitialize: logging off, and any log folder look-up inside a
// temporary root, so that millions of inputs never reach the machine's log files (and do
// not spend their time writing them).
#include <cstdlib>
#include <filesystem>
#include <string>

#include "log/Log.h"

inline void QuietLog() {
    static std::string root = (std::filesystem::temp_directory_path() / "kelvo-fuzz-XXXXXX").string();
    if (::mkdtemp(root.data()) == nullptr) std::abort();
    ::setenv("KELVO_SYSROOT", root.c_str(), 1);
    if (!LogSetup(LOG_MASK_OFF, nullptr)) std::abort();
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    });
}
