#include "ndi/NDISourceFinder.h"
#include "ndi/NdiLibrary.h"
#include "tests/fakes/FakeNdiRuntime.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const std::string standardRuntime = KESTRIX_FAKE_NDI_STANDARD;
const std::string incompleteRuntime = KESTRIX_FAKE_NDI_INCOMPLETE;

// Sets (or, with nullopt, removes) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value)
        : variable(name)
    {
        if (const char* old = std::getenv(name))
            previous = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (previous)
            setenv(variable.c_str(), previous->c_str(), 1);
        else
            unsetenv(variable.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string variable;
    std::optional<std::string> previous;
};

class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "kestrix-ndilib-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempFolder()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    fs::path path;
};

std::string readFile(const fs::path& file)
{
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::ptrdiff_t indexOf(const std::vector<std::string>& list, const std::string& entry)
{
    const auto it = std::find(list.begin(), list.end(), entry);
    return it == list.end() ? -1 : it - list.begin();
}

} // namespace

TEST(NdiLibrary, StandardOnlyRuntimeIsServedThroughAdapters)
{
    std::string error;
    auto library = NdiLibrary::open(standardRuntime, error);
    ASSERT_TRUE(library) << error;
    EXPECT_EQ(library->path(), standardRuntime);
    EXPECT_EQ(library->versionText(), "FAKE NDI 9.9.9");

    FakeNdiRuntime fake(standardRuntime);
    for (const char* advanced : {"NDIlib_find_create_v3", "NDIlib_find_get_current_sources_v2",
                                 "NDIlib_recv_create_v4", "NDIlib_send_create_v2"})
        ASSERT_EQ(dlsym(fake.handle, advanced), nullptr) << "the fake must not offer " << advanced;
    const NdiFunctions& ndiCalls = library->functions();

    // Calls the runtime has are bound to it as they are.
    EXPECT_EQ(reinterpret_cast<void*>(ndiCalls.recv_capture_v3), dlsym(fake.handle, "NDIlib_recv_capture_v3"));
    EXPECT_EQ(reinterpret_cast<void*>(ndiCalls.find_destroy), dlsym(fake.handle, "NDIlib_find_destroy"));

    NDIlib_find_create_t findSettings;
    findSettings.show_local_sources = false;
    NDIlib_find_instance_t finder = ndiCalls.find_create_v3(&findSettings, "{}");
    ASSERT_NE(finder, nullptr);
    EXPECT_EQ(fake.callCount("NDIlib_find_create_v2"), 1);
    EXPECT_FALSE(fake.lastShowLocalSources());

    const char* names[] = {"ALPHA (One)", "BETA (Two)"};
    fake.setSources(names, 2);
    uint32_t count = 99;
    const NDIlib_source_v2_t* listed = ndiCalls.find_get_current_sources_v2(finder, &count);
    EXPECT_EQ(fake.callCount("NDIlib_find_get_current_sources"), 1);
    ASSERT_EQ(count, 2u);
    EXPECT_STREQ(listed[0].p_ndi_name, "ALPHA (One)");
    EXPECT_STREQ(listed[0].p_url_address, "fake://source/0");
    EXPECT_STREQ(listed[1].p_ndi_name, "BETA (Two)");
    EXPECT_STREQ(listed[1].p_url_address, "fake://source/1");
    EXPECT_EQ(listed[1].p_metadata, nullptr);

    fake.setSources(nullptr, 0);
    count = 99;
    ndiCalls.find_get_current_sources_v2(finder, &count);
    EXPECT_EQ(count, 0u);

    NDIlib_recv_create_v3_t receiveSettings;
    receiveSettings.source_to_connect_to.p_ndi_name = "BETA (Two)";
    receiveSettings.bandwidth = NDIlib_recv_bandwidth_audio_only;
    NDIlib_recv_instance_t receiver = ndiCalls.recv_create_v4(&receiveSettings, nullptr);
    ASSERT_NE(receiver, nullptr);
    EXPECT_EQ(fake.callCount("NDIlib_recv_create_v3"), 1);
    EXPECT_STREQ(fake.lastReceiverSource(), "BETA (Two)");
    EXPECT_EQ(fake.lastReceiverBandwidth(), NDIlib_recv_bandwidth_audio_only);

    NDIlib_send_create_t sendSettings;
    sendSettings.p_ndi_name = "Plover Sender 1";
    NDIlib_send_instance_t sender = ndiCalls.send_create_v2(&sendSettings, nullptr);
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(fake.callCount("NDIlib_send_create"), 1);
    EXPECT_STREQ(ndiCalls.send_get_source_name(sender)->p_ndi_name, "FAKEHOST (Plover Sender 1)");

    EXPECT_EQ(fake.liveInstances(), 3);
    ndiCalls.send_destroy(sender);
    ndiCalls.recv_destroy(receiver);
    ndiCalls.find_destroy(finder);
    EXPECT_EQ(fake.liveInstances(), 0);
}

TEST(NdiLibrary, UnusableRuntimesAreRefusedWithTheReason)
{
    std::string error;
    EXPECT_FALSE(NdiLibrary::open(incompleteRuntime, error));
    EXPECT_EQ(error, "lacks NDIlib_recv_capture_v3");

    TempFolder folder;
    const fs::path missing = folder.path / "libndi.so.6";
    error.clear();
    EXPECT_FALSE(NdiLibrary::open(missing.string(), error));
    EXPECT_NE(error.find(missing.string()), std::string::npos) << error;

    const fs::path notALibrary = folder.path / "libndi.so.5";
    std::ofstream(notALibrary) << "not a shared library\n";
    error.clear();
    EXPECT_FALSE(NdiLibrary::open(notALibrary.string(), error));
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.rfind("lacks ", 0), 0u) << error;
}

TEST(NdiLibrary, CandidatesRunFromTheChosenRuntimeToTheLoopbackBesideTheProgram)
{
    ScopedEnv chosen("KESTRIX_NDI_RUNTIME", "/opt/chosen/libchosen.so");
    ScopedEnv v6("NDI_RUNTIME_DIR_V6", "/opt/ndi6");
    ScopedEnv v5("NDI_RUNTIME_DIR_V5", "/opt/ndi5");
    const std::vector<std::string> paths = NdiLibrary::candidatePaths();
    ASSERT_FALSE(paths.empty());

    EXPECT_EQ(paths.front(), "/opt/chosen/libchosen.so");
    const fs::path programFolder = fs::read_symlink("/proc/self/exe").parent_path();
    EXPECT_EQ(paths.back(), (programFolder / "libkestrix-ndi-loopback.so").string());

    // Each runtime folder is searched for the Advanced runtime before the
    // standard one, version 6 before 5, and the folders before the system.
    const auto v6Advanced = indexOf(paths, "/opt/ndi6/libndi_advanced.so.6");
    const auto v6Standard = indexOf(paths, "/opt/ndi6/libndi.so.6");
    const auto v5Advanced = indexOf(paths, "/opt/ndi5/libndi_advanced.so.6");
    const auto v5Standard = indexOf(paths, "/opt/ndi5/libndi.so.5");
    const auto systemAdvanced = indexOf(paths, "libndi_advanced.so.6");
    const auto systemStandard = indexOf(paths, "libndi.so.5");
    for (auto index : {v6Advanced, v6Standard, v5Advanced, v5Standard, systemAdvanced, systemStandard})
        ASSERT_GT(index, 0);
    EXPECT_LT(v6Advanced, v6Standard);
    EXPECT_LT(v6Standard, v5Advanced);
    EXPECT_LT(v5Advanced, v5Standard);
    EXPECT_LT(v5Standard, systemAdvanced);
    EXPECT_LT(systemAdvanced, systemStandard);

    // Unset or empty variables add nothing.
    ScopedEnv noChoice("KESTRIX_NDI_RUNTIME", "");
    ScopedEnv noV6("NDI_RUNTIME_DIR_V6", std::nullopt);
    ScopedEnv noV5("NDI_RUNTIME_DIR_V5", "");
    const std::vector<std::string> plain = NdiLibrary::candidatePaths();
    ASSERT_FALSE(plain.empty());
    EXPECT_EQ(plain.front(), "libndi_advanced.so.6");
    EXPECT_EQ(plain.back(), paths.back());
    const auto fromVariables =
        std::count_if(paths.begin(), paths.end(), [](const std::string& p) { return p.rfind("/opt/", 0) == 0; });
    EXPECT_EQ(plain.size() + static_cast<size_t>(fromVariables), paths.size());
}

TEST(NdiLibrary, FirstUsableCandidateIsLoadedAndRefusedOnesAreSkipped)
{
    TempFolder v6Folder;
    TempFolder v5Folder;
    fs::copy_file(standardRuntime, v6Folder.path / "libndi.so.6");
    fs::copy_file(standardRuntime, v5Folder.path / "libndi.so.5");
    ScopedEnv v6("NDI_RUNTIME_DIR_V6", v6Folder.path.string());
    ScopedEnv v5("NDI_RUNTIME_DIR_V5", v5Folder.path.string());

    {
        ScopedEnv chosen("KESTRIX_NDI_RUNTIME", incompleteRuntime);
        auto library = NdiLibrary::loadFirstUsable();
        ASSERT_TRUE(library);
        EXPECT_EQ(library->path(), (v6Folder.path / "libndi.so.6").string());
        EXPECT_EQ(library->versionText(), "FAKE NDI 9.9.9");

        // The adapters now lead into the copy that was loaded.
        FakeNdiRuntime copy(library->path());
        NDIlib_find_instance_t finder = library->functions().find_create_v3(nullptr, nullptr);
        EXPECT_EQ(copy.callCount("NDIlib_find_create_v2"), 1);
        library->functions().find_destroy(finder);
        EXPECT_EQ(copy.liveInstances(), 0);
    }
    {
        ScopedEnv chosen("KESTRIX_NDI_RUNTIME", standardRuntime);
        auto library = NdiLibrary::loadFirstUsable();
        ASSERT_TRUE(library);
        EXPECT_EQ(library->path(), standardRuntime);
    }
    {
        ScopedEnv chosen("KESTRIX_NDI_RUNTIME", (v6Folder.path / "absent.so").string());
        fs::remove(v6Folder.path / "libndi.so.6");
        auto library = NdiLibrary::loadFirstUsable();
        ASSERT_TRUE(library);
        EXPECT_EQ(library->path(), (v5Folder.path / "libndi.so.5").string());
    }
}

// With no runtime anywhere, the process-wide table still answers every call
// and creates nothing. Needs a process of its own, away from the loopback
// runtime that sits beside the test program.
TEST(NdiLibrary, WithoutAnyRuntimeEveryCallIsAHarmlessNoOp)
{
    TempFolder folder;
    const fs::path program = folder.path / "probe";
    fs::copy_file(fs::read_symlink("/proc/self/exe"), program);
    const fs::path output = folder.path / "output.txt";

    ChildProcess child(program.string(), {"--absent-runtime-probe"},
                       {"KESTRIX_NDI_RUNTIME=", "NDI_RUNTIME_DIR_V6=", "NDI_RUNTIME_DIR_V5="}, output.string());
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(), 0) << readFile(output);
    EXPECT_NE(readFile(output).find("No NDI runtime could be loaded"), std::string::npos) << readFile(output);
}

namespace {

int absentRuntimeProbe()
{
    std::ostringstream failures;
    auto check = [&](bool ok, const char* what) {
        if (!ok)
            failures << "failed: " << what << '\n';
    };
    const NdiFunctions& calls = ndi();
    check(ndiRuntimeVersion() == "none", "version is none");
    check(!calls.initialize(), "initialize reports failure");
    check(calls.find_create_v3(nullptr, nullptr) == nullptr, "no finder");
    uint32_t count = 7;
    calls.find_get_current_sources_v2(nullptr, &count);
    check(count == 0, "no sources");
    NDIlib_recv_create_v3_t receiveSettings;
    check(calls.recv_create_v4(&receiveSettings, nullptr) == nullptr, "no receiver");
    NDIlib_send_create_t sendSettings;
    sendSettings.p_ndi_name = "Probe";
    check(calls.send_create_v2(&sendSettings, nullptr) == nullptr, "no sender");
    NDIlib_audio_frame_v2_t audio;
    audio.no_samples = 512;
    calls.framesync_capture_audio(nullptr, &audio, 48000, 0, 512);
    check(audio.no_samples == 0 && audio.p_data == nullptr, "empty audio frame");

    ndiActive = true;
    NDISourceFinder finder;
    check(finder.poll().sources.empty(), "finder sees nothing");
    ndiActive = false;

    std::cerr << failures.str();
    return failures.str().empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "--absent-runtime-probe")
        return absentRuntimeProbe();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
