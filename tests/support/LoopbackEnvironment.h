#pragma once

// Gives a test process a discovery folder and an application-data folder of
// its own, so tests never see each other's loopback sources nor the user's
// files. Must run before the NDI runtime is first used.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class LoopbackEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrix-test-XXXXXX").string();
        folder = mkdtemp(pattern.data());
        ASSERT_FALSE(folder.empty());
        setenv("KESTRIX_LOOPBACK_DIR", folder.c_str(), 1);
        // Nothing a test runs may touch the user's own mapping file.
        setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    static std::string folder;
};

inline std::string LoopbackEnvironment::folder;
