// A settings document that cannot be used is moved aside with one log line and
// never overwritten; text that is not UTF-8 does not stop a save.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/LogCapture.h"
#include "platform/PreferencesFile.h"
#include "tests/platform/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

TEST(PreferencesFile, UnusableDocumentIsMovedAsideWordForWordWithOneLogLine) {
    // A directory in the document's place cannot be read, even by root.
    for (const std::string bad :
         {"{\"audioInput\": \"Stu", "[\"OnTop\", \"1\"]", "", "(directory)"}) {
        SCOPED_TRACE(bad);
        TempFolder temp;
        const std::string path = temp / "preferences.json";
        if (bad == "(directory)")
            fs::create_directory(path);
        else
            std::ofstream(path) << bad;
        LogCapture log;
        PreferencesFile file(path);
        EXPECT_EQ(file.load(), json::object());

        const fs::path aside = fs::directory_iterator(temp.path())->path();
        EXPECT_FALSE(fs::exists(path));
        const std::string what = bad == "(directory)" ? ".unreadable-" : ".corrupt-";
        EXPECT_EQ(aside.string().rfind(path + what, 0), 0u) << aside;
        if (bad != "(directory)") {
            std::ifstream kept(aside);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), bad);
        }
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].rfind("Settings file " + path + " ", 0), 0u) << log.lines()[0];
        EXPECT_NE(log.lines()[0].find("moved it to " + aside.string()), std::string::npos);

        ASSERT_TRUE(file.save({{"OnTop", "1"}}));
        EXPECT_EQ(PreferencesFile(path).load(), json({{"OnTop", "1"}}));
    }
}

TEST(PreferencesFile, TextThatIsNotUtf8IsSavedWithReplacementCharacters) {
    TempFolder temp;
    const std::string path = temp / "preferences.json";
    ASSERT_TRUE(PreferencesFile(path).save({{"audioInput", "Caf\xe9 In"}, {"OnTop", "1"}}));
    EXPECT_EQ(PreferencesFile(path).load(),
              json({{"audioInput", "Caf\xef\xbf\xbd In"}, {"OnTop", "1"}}));
}

}  // namespace
