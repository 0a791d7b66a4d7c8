// The resource folder beside the executable, installed or in the build tree.

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Resources.h"
#include "tests/platform/TempFolder.h"

namespace {

TEST(Resources, FoundInTheInstalledLayoutAndDeeperInTheBuildTreeElseWhereInstalledWouldBe) {
    TempFolder root;
    std::filesystem::create_directories(root / "usr/bin");
    std::filesystem::create_directories(root / "usr/share/mirel/html");
    std::filesystem::create_directories(root / "build/tests/clock");
    std::filesystem::create_directories(root / "build/share/mirel");
    EXPECT_EQ(Resources::findFolder(root / "usr/bin/mirel"), root / "usr/share/mirel");
    EXPECT_EQ(Resources::findFolder(root / "build/tests/clock/test_clock"),
              root / "build/share/mirel");
    EXPECT_EQ(Resources::findFolder(root / "opt/bin/mirel"), root / "opt/share/mirel");

    Resources::setFolder(root / "fake");
    EXPECT_EQ(Resources::path("html/home.html"), root / "fake/html/home.html");
    Resources::setFolder({});
}

}  // namespace
