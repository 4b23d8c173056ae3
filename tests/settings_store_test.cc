// The settings store: typed values, missing file and table, files that do not
// parse and values of unknown shape.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/log_testing.h"
#include "platform/settings.h"

namespace {

class SettingsStore : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("userpolicy-settings-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "settings.toml").string();
    ::setenv(kSettingsPathVariable, path_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv(kSettingsPathVariable);
    std::filesystem::remove_all(dir_);
  }
  void Write(const std::string& text) { std::ofstream(path_) << text; }

  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(SettingsStore, EveryDistinguishedTypeRoundTrips) {
  Write(R"([QV_DSAccess.DEFAULT]
PlainInt = -120
Int = { type = "VT_INT", value = -7 }
UInt = { type = "uint", value = 4000000000 }
UI4 = { type = "VT_UI4", value = 4294967295 }
I2 = { type = "VT_I2", value = -300 }
UI2 = { type = "VT_UI2", value = 65535 }
I8 = { type = "VT_I8", value = 5000000000 }
Text = "Zürich"
TypedText = { type = "VT_BSTR", value = "x" }
Flag = true
Ratio = 0.5
)");
  CMgmtObject settings(L"QV_DSAccess", L"DEFAULT", nullptr);
  ASSERT_TRUE(settings.Get());
  struct Expect {
    const wchar_t* key;
    VARTYPE vt;
  } expected[] = {{L"PlainInt", VT_I4}, {L"Int", VT_INT},       {L"UInt", VT_UINT},  {L"UI4", VT_UI4},
                  {L"I2", VT_I2},       {L"UI2", VT_UI2},       {L"I8", VT_I8},      {L"Text", VT_BSTR},
                  {L"TypedText", VT_BSTR}, {L"Flag", VT_BOOL}, {L"Ratio", VT_R8}};
  for (const Expect& e : expected) {
    const _variant_t* value = settings.GetPropertyValue(e.key);
    ASSERT_NE(value, nullptr) << e.key;
    EXPECT_EQ(value->vt, e.vt) << e.key;
  }
  EXPECT_EQ(settings.GetPropertyValue(L"PlainInt")->lVal, -120);
  EXPECT_EQ(settings.GetPropertyValue(L"Int")->intVal, -7);
  EXPECT_EQ(settings.GetPropertyValue(L"UInt")->uintVal, 4000000000u);
  EXPECT_EQ(settings.GetPropertyValue(L"UI4")->ulVal, 4294967295u);
  // Read as 32 bits, the largest VT_UI4 is -1: what the manager will see.
  EXPECT_EQ(settings.GetPropertyValue(L"UI4")->lVal, -1);
  EXPECT_EQ(settings.GetPropertyValue(L"I2")->iVal, -300);
  EXPECT_EQ(settings.GetPropertyValue(L"UI2")->uiVal, 65535);
  EXPECT_EQ(settings.GetPropertyValue(L"I8")->llVal, 5000000000LL);
  EXPECT_STREQ(settings.GetPropertyValue(L"text")->bstrVal, L"Zürich");  // names ignore case
  EXPECT_EQ(settings.GetPropertyValue(L"Flag")->boolVal, VARIANT_TRUE);
  EXPECT_EQ(settings.GetPropertyLine(L"UI4"), 5);
  EXPECT_EQ(settings.GetPropertyValue(L"Missing"), nullptr);
}

TEST_F(SettingsStore, NoFileOrNoTableMeansDefaults) {
  {
    CMgmtObject settings(L"QV_DSAccess", L"DEFAULT", nullptr);
    EXPECT_FALSE(settings.Get());
    EXPECT_EQ(settings.GetPropertyValue(L"UserIdentityCacheTimeout"), nullptr);
  }
  Write("[QV_DSAccess.OTHER]\nUserIdentityCacheTimeout = 5\n[Other.DEFAULT]\nX = 1\n");
  CMgmtObject settings(L"QV_DSAccess", L"DEFAULT", nullptr);
  EXPECT_FALSE(settings.Get());
  EXPECT_EQ(settings.GetPropertyValue(L"UserIdentityCacheTimeout"), nullptr);
}

TEST_F(SettingsStore, FileThatDoesNotParseIsReportedWithLineAndColumn) {
  Write("[QV_DSAccess.DEFAULT]\nUserIdentityCacheTimeout = 120\nbroken = = 3\n");
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  CMgmtObject settings(L"QV_DSAccess", L"DEFAULT", nullptr);
  EXPECT_FALSE(settings.Get());
  EXPECT_EQ(settings.GetPropertyValue(L"UserIdentityCacheTimeout"), nullptr);
  ASSERT_EQ(capture.records().size(), 1u);
  const auto& record = capture.records()[0];
  EXPECT_EQ(record.level, DBG::kLevelWarning);
  EXPECT_NE(record.message.find(path_), std::string::npos) << record.message;
  EXPECT_NE(record.message.find("line 3, column"), std::string::npos) << record.message;
}

TEST_F(SettingsStore, ValuesOfUnknownShapeAreAbsentAndTheRestLoads) {
  Write(R"([QV_DSAccess.DEFAULT]
UserIdentityCacheTimeout = 120
Array = [1, 2]
Huge = 5000000000
BadType = { type = "VT_DISPATCH", value = 1 }
OutOfRange = { type = "VT_I2", value = 40000 }
NegativeUnsigned = { type = "VT_UI4", value = -1 }
WrongValue = { type = "VT_UI4", value = "12" }
Extra = { type = "VT_I4", value = 1, unit = "s" }
When = 1979-05-27T07:32:00Z
UserIdentityCacheMaximum = 7
)");
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  CMgmtObject settings(L"QV_DSAccess", L"DEFAULT", nullptr);
  ASSERT_TRUE(settings.Get());
  EXPECT_EQ(settings.GetPropertyValue(L"UserIdentityCacheTimeout")->lVal, 120);
  EXPECT_EQ(settings.GetPropertyValue(L"UserIdentityCacheMaximum")->lVal, 7);
  const char* rejected[] = {"Array",    "Huge",       "BadType", "OutOfRange",
                            "NegativeUnsigned", "WrongValue", "Extra",   "When"};
  for (const char* key : rejected) {
    EXPECT_EQ(settings.GetPropertyValue(std::wstring(key, key + strlen(key)).c_str()), nullptr) << key;
    bool reported = false;
    for (const auto& record : capture.records()) {
      if (record.level == DBG::kLevelWarning && record.message.find(std::string(" ") + key + " ignored") !=
                                                    std::string::npos) {
        reported = record.message.find("line ") != std::string::npos;
      }
    }
    EXPECT_TRUE(reported) << key;
  }
  EXPECT_EQ(capture.records().size(), std::size(rejected));
}

}  // namespace
