#include "ndi/NdiLibrary.h"
#include "engine/ReceiveSlot.h"
#include "ndi/NDISourceFinder.h"
#include "tests/fakes/FakeNdiRuntime.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

// A folder of its own, with the runtime variables pointing where the test says.
struct RuntimeSearch {
    RuntimeSearch(const std::string& chosen, const std::string& v6, const std::string& v5)
    {
        setenv("KESTRIX_NDI_RUNTIME", chosen.c_str(), 1);
        setenv("NDI_RUNTIME_DIR_V6", v6.c_str(), 1);
        setenv("NDI_RUNTIME_DIR_V5", v5.c_str(), 1);
    }
    ~RuntimeSearch() { fs::remove_all(folder); }
    fs::path folder = mkdtemp((fs::temp_directory_path() / "kestrix-ndilib-XXXXXX").string().data());
};

} // namespace

// The newer calls Kestrix makes reach the standard SDK's older ones with what was asked.
TEST(NdiLibrary, standardOnlyRuntimeIsServedThroughAdaptersAndIsNotAdvanced)
{
    std::string error;
    auto library = fake_ndi::load(fake_ndi::standardTable(), error);
    ASSERT_TRUE(library) << error;
    EXPECT_FALSE(library->isAdvanced());
    const NdiFunctions& calls = library->functions();
    auto& fake = fake_ndi::state;
    fake.sources = {"ALPHA (One)", "BETA (Two)"};
    const NDIlib_find_create_t findSettings{.show_local_sources = false};
    const NDIlib_recv_create_v3_t receiveSettings{.source_to_connect_to = {"BETA (Two)", {}}};
    const NDIlib_send_create_t sendSettings{.p_ndi_name = "Plover Sender 1"};
    NDIlib_find_instance_t finder = calls.find_create_v3(&findSettings, "{}");
    NDIlib_recv_instance_t receiver = calls.recv_create_v4(&receiveSettings, nullptr);
    NDIlib_send_instance_t sender = calls.send_create_v2(&sendSettings, nullptr);
    uint32_t count = 99;
    const NDIlib_source_v2_t* listed = calls.find_get_current_sources_v2(finder, &count);
    ASSERT_EQ(count, 2u);
    using Seen = std::tuple<bool, std::string, std::string, std::string, std::string, int>;
    EXPECT_EQ(Seen(fake.showLocalSources, listed[1].p_ndi_name, listed[1].p_url_address, fake.receiverSource,
                  calls.send_get_source_name(sender)->p_ndi_name, fake.liveInstances),
        Seen(false, "BETA (Two)", "fake://source", "BETA (Two)", "FAKEHOST (Plover Sender 1)", 3));
    calls.send_destroy(sender);
    calls.recv_destroy(receiver);
    calls.find_destroy(finder);
    EXPECT_EQ(fake.liveInstances, 0);

    // Only the Advanced SDK hands compressed pictures over: a standard runtime is asked for a format it has.
    ASSERT_TRUE(useNdiRuntime(std::move(library)));
    fake.receiverColourFormat = NDIlib_recv_color_format_fastest;
    SourceReceiver("BETA (Two)", NDIlib_recv_bandwidth_highest);
    EXPECT_EQ(fake.receiverColourFormat, NDIlib_recv_color_format_UYVY_BGRA);
    EXPECT_FALSE(useNdiRuntime(nullptr)) << "the runtime in use stays";

    // With the Advanced receiver it is taken as it is.
    fake_ndi::Table advanced = fake_ndi::standardTable();
    advanced["NDIlib_recv_create_v4"] = fake_ndi::entry(&fake_ndi::notExpected);
    library = fake_ndi::load(advanced, error);
    ASSERT_TRUE(library) << error;
    EXPECT_TRUE(library->isAdvanced());
}

TEST(NdiLibrary, runtimesLackingAnIndispensableCallOrMissingAreRefusedWithTheReason)
{
    std::string error;
    const auto usable = fake_ndi::load(fake_ndi::standardTable(), error);
    fake_ndi::Table incomplete = fake_ndi::standardTable();
    incomplete.erase("NDIlib_recv_capture_v3");
    incomplete["NDIlib_find_create_v2"] = fake_ndi::entry(&fake_ndi::notExpected);
    EXPECT_FALSE(fake_ndi::load(incomplete, error));
    EXPECT_EQ(error, "lacks NDIlib_recv_capture_v3");
    // Its calls never stand behind the adapters of a runtime in use.
    usable->functions().find_destroy(usable->functions().find_create_v3(nullptr, nullptr));

    EXPECT_FALSE(NdiLibrary::open("/nonexistent/libndi.so.6", error));
    EXPECT_NE(error.find("/nonexistent/libndi.so.6"), std::string::npos) << error;
}

TEST(NdiLibrary, runtimesAreSearchedFromTheChosenOneToTheLoopbackBesideTheProgramOrInItsLibraryFolder)
{
    const fs::path programs = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string loopback = programs / "libkestrix-ndi-loopback.so";
    const std::vector<std::string> system{"libndi_advanced.so.6", "libndi_advanced.so", "libndi.so.6", "libndi.so.5"};
    std::vector<std::string> expected{"/opt/chosen.so"};
    for (const char* folder : {"/opt/ndi6/", "/opt/ndi5/"})
        for (const auto& name : system)
            expected.push_back(folder + name);
    expected.insert(expected.end(), system.begin(), system.end());
    expected.push_back(loopback);
    expected.push_back(programs.parent_path() / "lib/kestrix/libkestrix-ndi-loopback.so");
    {
        RuntimeSearch search("/opt/chosen.so", "/opt/ndi6", "/opt/ndi5");
        EXPECT_EQ(NdiLibrary::candidatePaths(), expected);
    }
    RuntimeSearch search("", "", "");
    unsetenv("NDI_RUNTIME_DIR_V6");
    expected.erase(expected.begin(), expected.begin() + 9);
    EXPECT_EQ(NdiLibrary::candidatePaths(), expected) << "unset or empty variables add nothing";

    // The first usable one is taken; one that is not a runtime is passed over.
    setenv("KESTRIX_NDI_RUNTIME", (search.folder / "libndi.so.6").c_str(), 1);
    setenv("NDI_RUNTIME_DIR_V5", search.folder.c_str(), 1);
    std::ofstream(search.folder / "libndi.so.6") << "not a shared library\n";
    fs::copy_file(loopback, search.folder / "libndi.so.5");
    auto library = NdiLibrary::loadFirstUsable();
    ASSERT_TRUE(library);
    EXPECT_EQ(library->path(), (search.folder / "libndi.so.5").string());
}

// With no runtime anywhere the process-wide table still answers every call and
// creates nothing. A process of its own, away from the loopback beside this one.
TEST(NdiLibrary, withoutAnyRuntimeEveryCallIsAHarmlessNoOp)
{
    RuntimeSearch search("", "", "");
    const fs::path program = search.folder / "alone";
    fs::copy_file(fs::read_symlink("/proc/self/exe"), program);
    ChildProcess child(program.string(), {"--absent-runtime"}, {}, (search.folder / "output").string());
    const int exitCode = child.wait();
    const std::string output(std::istreambuf_iterator<char>(std::ifstream(search.folder / "output").rdbuf()), {});
    EXPECT_EQ(exitCode, 0) << output;
    EXPECT_NE(output.find("No NDI runtime could be loaded"), std::string::npos) << output;
}

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "--absent-runtime") {
        const NdiFunctions& calls = ndi();
        const NDIlib_recv_create_v3_t receiveSettings;
        const NDIlib_send_create_t sendSettings{.p_ndi_name = "Alone"};
        NDIlib_audio_frame_v2_t audio{.no_samples = 512};
        calls.framesync_capture_audio(nullptr, &audio, 48000, 0, 512);
        ndiActive = true;
        return !calls.initialize() && calls.recv_create_v4(&receiveSettings, nullptr) == nullptr &&
                calls.send_create_v2(&sendSettings, nullptr) == nullptr && audio.no_samples == 0 &&
                audio.p_data == nullptr && NDISourceFinder().poll().sources.empty()
            ? 0
            : 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
