#include "plugin/plugin_discovery.h"

#include <algorithm>
#include <fstream>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "tests/support/temporary_directory.h"

namespace fs = boost::filesystem;

namespace {

class PluginDiscovery : public ::testing::Test {
protected:
    std::string Path(const std::string &relative) const { return root + "/" + relative; }

    void MakeFile(const std::string &relative) const {
        fs::create_directories(fs::path(Path(relative)).parent_path());
        std::ofstream(Path(relative)) << "not a library";
    }

    // What the scan found, in a fixed order: the directory's own order is the system's.
    std::vector<std::string> FoundIn(const std::string &relative) const {
        auto found = FindPluginLibraries(Path(relative));
        std::sort(found.begin(), found.end());
        return found;
    }

    testsupport::TemporaryDirectory temporary{"discovery-test"};
    std::string root = temporary.Root();
};

std::vector<std::string> Sorted(std::vector<std::string> paths) {
    SortInLoadingOrder(paths);
    return paths;
}

} // namespace

// ---- Which entries qualify ----

TEST_F(PluginDiscovery, TakesRegularFilesEndingInDotSoAndLinksLeadingToThem) {
    MakeFile("plugins/a.so");
    MakeFile("plugins/a.SO");
    MakeFile("plugins/a.so.1");
    MakeFile("plugins/so");
    fs::create_directories(Path("plugins/b.so"));
    MakeFile("elsewhere/real-file");
    fs::create_symlink(Path("elsewhere/real-file"), Path("plugins/d.so"));
    fs::create_symlink(Path("elsewhere/missing"), Path("plugins/dangling.so"));
    fs::create_symlink(Path("elsewhere"), Path("plugins/directory-link.so"));
    EXPECT_EQ(FoundIn("plugins"), (std::vector<std::string>{Path("plugins/a.so"), Path("plugins/d.so")}));
}

TEST_F(PluginDiscovery, MissingOrNonDirectoryPathAddsNothing) {
    MakeFile("plugins");
    EXPECT_TRUE(FoundIn("plugins").empty());
    EXPECT_TRUE(FoundIn("protected-plugins").empty());
    fs::create_directories(Path("empty"));
    EXPECT_TRUE(FoundIn("empty").empty());
}

TEST_F(PluginDiscovery, FollowsALinkToADirectory) {
    MakeFile("real/x.so");
    fs::create_directory_symlink(Path("real"), Path("plugins"));
    EXPECT_EQ(FoundIn("plugins"), std::vector<std::string>{Path("plugins/x.so")});
}

// ---- Loading order ----

TEST(LoadingOrder, MarkedPathsComeFirstWhereverTheMarkerIs) {
    EXPECT_EQ(Sorted({"/r/plugins/a.so", "/r/protected-plugins/tDVRpi-x.so", "/r/plugins/tdvrpi.so",
                      "/r/tDVRpi-dir/plugins/z.so"}),
              (std::vector<std::string>{"/r/protected-plugins/tDVRpi-x.so", "/r/tDVRpi-dir/plugins/z.so",
                                        "/r/plugins/a.so", "/r/plugins/tdvrpi.so"}));
}

TEST(LoadingOrder, ComparesComponentByComponentBytewise) {
    // As whole strings "plugins-old/" would sort before "plugins/" ('-' < '/').
    EXPECT_EQ(Sorted({"/r/protected-plugins/a.so", "/r/plugins-old/a.so", "/r/plugins/z.so", "/r/plugins/\xC3\xA9.so",
                      "/r/plugins/a.so", "/r/plugins/Z.so", "/r/plugins/B.so"}),
              (std::vector<std::string>{"/r/plugins/B.so", "/r/plugins/Z.so", "/r/plugins/a.so", "/r/plugins/z.so",
                                        "/r/plugins/\xC3\xA9.so", "/r/plugins-old/a.so", "/r/protected-plugins/a.so"}));
}

// ---- Module names ----

TEST(ModuleName, IsTheFileStemLowerCasedByteByByte) {
    EXPECT_EQ(ModuleName("Example.so"), "example");
    EXPECT_EQ(ModuleName("Data.so"), "data");
    EXPECT_EQ(ModuleName("VideoRecorder.so"), "videorecorder");
    EXPECT_EQ(ModuleName("tDVRpi-Net.v2.so"), "tdvrpi-net.v2");
    EXPECT_EQ(ModuleName("\xC3\x89T\xC3\xA9.so"), "\xC3\x89t\xC3\xA9");
}
