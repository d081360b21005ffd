// The check a root core makes before it loads a plugin library: nobody but
// root and the core's own user may be able to change the library or the
// directory holding it. Owners other than root can only be set up as root.
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "plugin/plugin_trust.h"
#include "tests/support/temporary_directory.h"

namespace fs = boost::filesystem;

namespace {

// The files the test makes belong to the user running it.
const uid_t CORE_USER = geteuid();
constexpr uid_t ANOTHER_USER = 65534;

class PluginTrustTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = temporary.Root();
        plugins = MakeDirectory("plugins");
        library = MakeLibrary(plugins + "/kept.so");
    }

    std::string MakeDirectory(const std::string &name) const {
        const std::string path = root + "/" + name;
        fs::create_directory(path);
        chmod(path.c_str(), 0755);
        return path;
    }
    static std::string MakeLibrary(const std::string &path) {
        std::ofstream(path) << "not really a library";
        chmod(path.c_str(), 0755);
        return path;
    }
    static void RequireRoot() {
        if (geteuid() != 0) {
            GTEST_SKIP() << "only root can give a file to another user";
        }
    }

    testsupport::TemporaryDirectory temporary{"plugin-trust"};
    std::string root, plugins, library;
};

} // namespace

// ---- The library and its directory ----

TEST_F(PluginTrustTest, WellKeptLibraryIsAccepted) {
    EXPECT_EQ(PluginTrustProblem(library, CORE_USER), "");
    chmod(library.c_str(), 0500);
    EXPECT_EQ(PluginTrustProblem(library, CORE_USER), "");
}

TEST_F(PluginTrustTest, LibraryWritableByGroupOrOthersIsRefused) {
    for (const mode_t mode : {0666, 0775, 0757}) {
        chmod(library.c_str(), mode);
        EXPECT_EQ(PluginTrustProblem(library, CORE_USER), "file is writable by group or others") << std::oct << mode;
    }
}

TEST_F(PluginTrustTest, DirectoryWritableByGroupOrOthersIsRefusedEvenWhenSticky) {
    for (const mode_t mode : {0777, 0775, 01777}) {
        chmod(plugins.c_str(), mode);
        EXPECT_EQ(PluginTrustProblem(library, CORE_USER), "directory '" + plugins + "' is writable by group or others")
            << std::oct << mode;
    }
}

TEST_F(PluginTrustTest, OwnersOtherThanRootAndTheCoreUserAreRefused) {
    RequireRoot();
    ASSERT_EQ(chown(library.c_str(), ANOTHER_USER, 0), 0);
    EXPECT_EQ(PluginTrustProblem(library, CORE_USER), "file is owned by another user (uid 65534)");
    // The core's own user may keep its plugins.
    EXPECT_EQ(PluginTrustProblem(library, ANOTHER_USER), "");

    ASSERT_EQ(chown(library.c_str(), 0, 0), 0);
    ASSERT_EQ(chown(plugins.c_str(), ANOTHER_USER, 0), 0);
    EXPECT_EQ(PluginTrustProblem(library, CORE_USER),
              "directory '" + plugins + "' is owned by another user (uid 65534)");
}

// ---- Links ----

TEST_F(PluginTrustTest, LinkIsJudgedByItsTargetAndTheTargetsDirectory) {
    const std::string elsewhere = MakeDirectory("elsewhere");
    const std::string target = MakeLibrary(elsewhere + "/target.so");
    const std::string link = plugins + "/link.so";
    fs::create_symlink(target, link);
    // A link's own mode is always 0777 and means nothing.
    EXPECT_EQ(PluginTrustProblem(link, CORE_USER), "");

    chmod(target.c_str(), 0666);
    EXPECT_EQ(PluginTrustProblem(link, CORE_USER), "file is writable by group or others");

    chmod(target.c_str(), 0755);
    chmod(elsewhere.c_str(), 0777);
    EXPECT_EQ(PluginTrustProblem(link, CORE_USER),
              "directory '" + fs::canonical(elsewhere).string() + "' is writable by group or others");

    // The link itself can be replaced by whoever may write where it lies.
    chmod(elsewhere.c_str(), 0755);
    chmod(plugins.c_str(), 0777);
    EXPECT_EQ(PluginTrustProblem(link, CORE_USER), "directory '" + plugins + "' is writable by group or others");
}

TEST_F(PluginTrustTest, DanglingLinkCannotBeExamined) {
    const std::string link = plugins + "/dangling.so";
    fs::create_symlink(root + "/missing.so", link);
    EXPECT_EQ(PluginTrustProblem(link, CORE_USER), "cannot examine file: No such file or directory");
}
