#pragma once
// Whether a transfer the simulated printer stored is byte for byte the file it came from
// (data kinds behind their 20-byte download header). With bMayBeCut a data transfer may
// stop short of its end, but not differ on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "sim/Sim.h"
#include "support/TempDir.h"

inline ::testing::AssertionResult StoredAsFile(const sim::StoredImage& image, const std::string& filePath,
                                               bool bMayBeCut = false) {
    std::string file = TempDir::Read(filePath);
    const std::size_t cbHeader = image.szKind == "FW" ? 0 : 20;
    if (bMayBeCut && image.szKind != "FW" && image.bytes.size() > cbHeader &&
        image.bytes.size() <= cbHeader + file.size()) {
        file.resize(image.bytes.size() - cbHeader);
    }
    if (image.bytes.size() != cbHeader + file.size()) {
        return ::testing::AssertionFailure() << image.szKind << ": stored " << image.bytes.size()
                                             << " bytes for a file of " << file.size();
    }
    if (!std::equal(image.bytes.begin() + static_cast<std::ptrdiff_t>(cbHeader), image.bytes.end(), file.begin(),
                    [](BYTE a, char b) { return a == static_cast<BYTE>(b); })) {
        return ::testing::AssertionFailure() << image.szKind << " differs from its file";
    }
    return ::testing::AssertionSuccess();
}
