#include <gtest/gtest.h>

#include "host/LogWriter.h"
#include "host/Password.h"
#include "host/PlatformInfo.h"
#include "platform/Settings.h"
#include "tests/support/TempStateRoot.h"

namespace {

class SettingsTest : public StateRootTest {
protected:
    void WriteSettings(const std::string& text) {
        ASSERT_FALSE(FXFile::WriteAll(root.File("settings.ini"), text).IsError());
    }
};

TEST_F(SettingsTest, FileValuesAreReadByTypePrefixAndAbsentKeysKeepDefaults) {
    WriteSettings(
        "# agent settings\n"
        "[Kestrix]\n"
        "bOn = TRUE\n"
        "bOff = no\n"
        "  nCount =  -42  \n"
        "sPath = \"  /data/with blank  \"\n"
        "sEmpty =\n"
        "; another comment\n"
        "[FileSystemAgent]\n"
        "nCount = 7\n");

    bool on = false, off = true, absentFlag = true;
    EXPECT_TRUE(TWPlatformInfo::getBoolean("Kestrix", "bOn", on));
    EXPECT_TRUE(on);
    EXPECT_TRUE(TWPlatformInfo::getBoolean("Kestrix", "bOff", off));
    EXPECT_FALSE(off);
    EXPECT_FALSE(TWPlatformInfo::getBoolean("Kestrix", "bAbsent", absentFlag));
    EXPECT_TRUE(absentFlag);

    int64_t count = 0;
    int small = 0;
    EXPECT_TRUE(TWPlatformInfo::getNumber("Kestrix", "nCount", count));
    EXPECT_EQ(count, -42);
    EXPECT_TRUE(TWPlatformInfo::getNumber("FileSystemAgent", "nCount", small));
    EXPECT_EQ(small, 7);

    std::string path = "default";
    EXPECT_TRUE(TWPlatformInfo::getString("Kestrix", "sPath", path));
    EXPECT_EQ(path, "  /data/with blank  ");
    std::string empty = "default";
    EXPECT_TRUE(TWPlatformInfo::getString("Kestrix", "sEmpty", empty));
    EXPECT_EQ(empty, "");

    // Sections and names are exact.
    std::string other = "default";
    EXPECT_FALSE(TWPlatformInfo::getString("kestrix", "sPath", other));
    EXPECT_FALSE(TWPlatformInfo::getString("Kestrix", "spath", other));
    EXPECT_EQ(other, "default");
}

TEST_F(SettingsTest, ValueThatDoesNotFitTheGetterKeepsTheDefault) {
    WriteSettings("[Kestrix]\nsWord = maybe\nnBig = 99999999999\n");
    bool flag = true;
    EXPECT_FALSE(TWPlatformInfo::getBoolean("Kestrix", "sWord", flag));
    EXPECT_TRUE(flag);
    int small = 5;
    EXPECT_FALSE(TWPlatformInfo::getNumber("Kestrix", "nBig", small));
    EXPECT_EQ(small, 5);
    int64_t big = 0;
    EXPECT_TRUE(TWPlatformInfo::getNumber("Kestrix", "nBig", big));
    EXPECT_EQ(big, 99999999999LL);
}

struct BadFileCase {
    const char* what;
    const char* text;
    int badLine;
};

TEST_F(SettingsTest, ABadLineRejectsTheWholeFileNamingFileAndLine) {
    const BadFileCase cases[] = {
        {"no equals sign", "[Kestrix]\nbGood = true\njust words\n", 3},
        {"setting before a section", "bGood = true\n", 1},
        {"unterminated section", "[Kestrix\nbGood = true\n", 1},
        {"empty section", "[ ]\n", 1},
        {"name without type letter", "[Kestrix]\nbGood = true\nxName = 1\n", 3},
        {"boolean that is not one", "[Kestrix]\nbGood = true\n\nbFlag = sometimes\n", 4},
        {"number that is not one", "[Kestrix]\nnCount = 12abc\n", 2},
        {"clear password", "[Kestrix]\npKeyPassword = hunter2\n", 2},
        {"blank in name", "[Kestrix]\nb Good = true\n", 2},
    };
    TWPI_PlatformBase::InitProcess("test_platform");
    for (const BadFileCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = root.File("settings.ini");
        WriteSettings(c.text);
        TWSettings::Values values;
        CZuError err = TWSettings::LoadFile(path, values);
        ASSERT_TRUE(err.IsError());
        EXPECT_EQ(err.GetErrorCode(), ZuCode::InvalidData);
        std::string expected = "settings file [" + path + "] line " + std::to_string(c.badLine) + ":";
        EXPECT_NE(err.GetMessage().find(expected), std::string::npos) << err.AsString();
        EXPECT_TRUE(values.empty());
        // The clear password never shows in the error.
        EXPECT_EQ(err.AsString().find("hunter2"), std::string::npos);

        // Good lines of the same file are ignored too, and the reason is logged.
        bool good = false;
        EXPECT_FALSE(TWPlatformInfo::getBoolean("Kestrix", "bGood", good));
        EXPECT_NE(ReadLog().find(expected), std::string::npos);
    }
}

TEST_F(SettingsTest, MissingFileMeansNoSettings) {
    TWSettings::Values values;
    EXPECT_FALSE(TWSettings::LoadFile(root.File("settings.ini"), values).IsError());
    EXPECT_TRUE(values.empty());
    bool flag = true;
    EXPECT_FALSE(TWPlatformInfo::getBoolean("Kestrix", "bAnything", flag));
}

TEST_F(SettingsTest, ChangedFileIsReadAgain) {
    WriteSettings("[Kestrix]\nnValue = 1\n");
    int value = 0;
    EXPECT_TRUE(TWPlatformInfo::getNumber("Kestrix", "nValue", value));
    EXPECT_EQ(value, 1);
    WriteSettings("[Kestrix]\nnValue = 22\n");
    EXPECT_TRUE(TWPlatformInfo::getNumber("Kestrix", "nValue", value));
    EXPECT_EQ(value, 22);
}

TEST_F(SettingsTest, StoredSettingsOverrideTheFileAndClientRowsOverrideMachineRows) {
    WriteSettings("[Kestrix]\nsWhere = file\n");
    std::string where;
    ASSERT_TRUE(TWPlatformInfo::getString("Kestrix", "sWhere", where));
    EXPECT_EQ(where, "file");

    ASSERT_FALSE(TWSettings::Set("Kestrix", "sWhere", "machine").IsError());
    ASSERT_FALSE(TWSettings::Set("Kestrix", "sWhere", "client", "node1").IsError());
    ASSERT_TRUE(TWPlatformInfo::getString("Kestrix", "sWhere", where));
    EXPECT_EQ(where, "machine");

    TWPI_PlatformBase::SetFocusClientName("node1");
    ASSERT_TRUE(TWPlatformInfo::getString("Kestrix", "sWhere", where));
    EXPECT_EQ(where, "client");
    TWPI_PlatformBase::SetFocusClientName("node2");
    ASSERT_TRUE(TWPlatformInfo::getString("Kestrix", "sWhere", where));
    EXPECT_EQ(where, "machine");

    bool removed = false;
    ASSERT_FALSE(TWSettings::Unset("Kestrix", "sWhere", "", removed).IsError());
    EXPECT_TRUE(removed);
    ASSERT_FALSE(TWSettings::Unset("Kestrix", "sWhere", "", removed).IsError());
    EXPECT_FALSE(removed);
    ASSERT_TRUE(TWPlatformInfo::getString("Kestrix", "sWhere", where));
    EXPECT_EQ(where, "file");
}

TEST_F(SettingsTest, SetChecksTypesAndListShowsStoredRows) {
    EXPECT_EQ(TWSettings::Set("Kestrix", "bFlag", "perhaps").GetErrorCode(), ZuCode::InvalidArgument);
    EXPECT_EQ(TWSettings::Set("Kestrix", "nCount", "1.5").GetErrorCode(), ZuCode::InvalidArgument);
    EXPECT_EQ(TWSettings::Set("Kestrix", "Untyped", "x").GetErrorCode(), ZuCode::InvalidArgument);
    EXPECT_EQ(TWSettings::Set("", "sName", "x").GetErrorCode(), ZuCode::InvalidArgument);

    ASSERT_FALSE(TWSettings::Set("Kestrix", "nCount", "3").IsError());
    ASSERT_FALSE(TWSettings::Set("Kestrix", "nCount", "4").IsError());  // replaces
    ASSERT_FALSE(TWSettings::Set("FileSystemAgent", "bFlag", "yes", "node1").IsError());
    std::vector<TWSettings::Entry> entries;
    ASSERT_FALSE(TWSettings::List(entries).IsError());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].client, "");
    EXPECT_EQ(entries[0].name, "nCount");
    EXPECT_EQ(entries[0].value, "4");
    EXPECT_EQ(entries[1].client, "node1");
    EXPECT_EQ(entries[1].section, "FileSystemAgent");
}

TEST_F(SettingsTest, PasswordSettingIsStoredProtectedAndDecrypts) {
    ASSERT_FALSE(TWSettings::Set("Kestrix", "pMongoSSLClientPEMKeyPassword", "s3cret pass").IsError());
    std::vector<TWSettings::Entry> entries;
    ASSERT_FALSE(TWSettings::List(entries).IsError());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].value.find("s3cret"), std::string::npos);

    std::string stored;
    ASSERT_TRUE(TWPlatformInfo::getString("Kestrix", "pMongoSSLClientPEMKeyPassword", stored));
    char buffer[1024];
    size_t length = sizeof buffer;
    ASSERT_TRUE(TWPassword::decrypt(stored, buffer, length));
    EXPECT_EQ(std::string(buffer, length), "s3cret pass");

    // The state database holds no clear text either.
    std::string db;
    ASSERT_FALSE(FXFile::ReadAll(root.File("state.db"), db).IsError());
    std::string wal;
    FXFile::ReadAll(root.File("state.db-wal"), wal);
    EXPECT_EQ((db + wal).find("s3cret"), std::string::npos);

    // A protected value may also go into the file.
    WriteSettings("[Kestrix]\npFilePassword = " + stored + "\n");
    std::string fromFile;
    ASSERT_TRUE(TWPlatformInfo::getString("Kestrix", "pFilePassword", fromFile));
    EXPECT_EQ(fromFile, stored);
}

TEST_F(SettingsTest, LogLevelComesFromTheSetting) {
    WriteSettings("[Kestrix]\nnLogLevel = 2\n");
    ASSERT_FALSE(TWPI_PlatformBase::InitProcess("test_platform").IsError());
    ASSERT_NE(g_ptrLogWriter, nullptr);
    EXPECT_EQ(g_ptrLogWriter->GetLevel(), 2);
    ZULOG(2, "level two line %d", 2);
    ZULOG(3, "level three line %d", 3);
    std::string log = ReadLog();
    EXPECT_NE(log.find("level two line 2"), std::string::npos);
    EXPECT_EQ(log.find("level three line 3"), std::string::npos);

    WriteSettings("");
    ASSERT_FALSE(TWPI_PlatformBase::InitProcess("test_platform").IsError());
    EXPECT_EQ(g_ptrLogWriter->GetLevel(), 0);  // the default
}

}  // namespace
