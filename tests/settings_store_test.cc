// The settings store: typed values, missing file and table, files that do not
// parse and values of unknown shape.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "testing/log_capture.h"
#include "platform/settings.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using userpolicy::testing::ScopedSettingsFile;

TEST(SettingsStore, TypedValuesLoadAndUnknownShapesAreReportedWithTheirLine) {
  ScopedSettingsFile file(R"([QV_DSAccess.DEFAULT]
PlainInt = -120
Int = { type = "VT_INT", value = -7 }
UInt = { type = "uint", value = 4000000000 }
UI4 = { type = "VT_UI4", value = 4294967295 }
I2 = { type = "VT_I2", value = -300 }
I8 = { type = "VT_I8", value = 5000000000 }
Text = "Zürich"
TypedText = { type = "VT_BSTR", value = "x" }
Flag = true
Ratio = 0.5
Array = [1, 2]
Huge = 5000000000
BadType = { type = "VT_DISPATCH", value = 1 }
OutOfRange = { type = "VT_I2", value = 40000 }
NegativeUnsigned = { type = "VT_UI4", value = -1 }
WrongValue = { type = "VT_UI4", value = "12" }
Extra = { type = "VT_I4", value = 1, unit = "s" }
When = 1979-05-27T07:32:00Z
AfterTheRejected = 7
)");
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  CMgmtObject settings(L"QV_DSAccess", L"DEFAULT", nullptr);
  ASSERT_TRUE(settings.Get());
  const struct {
    const wchar_t* key;
    _variant_t expected;  // type and value
  } kValues[] = {
      {L"PlainInt", _variant_t(-120L)},   {L"Int", _variant_t(-7)},
      {L"UInt", _variant_t(4000000000u)}, {L"UI4", _variant_t(4294967295ul)},
      {L"I2", _variant_t(short{-300})},   {L"I8", _variant_t(5000000000LL)},
      {L"text", _variant_t(L"Zürich")},  // names ignore case
      {L"TypedText", _variant_t(L"x")},   {L"Flag", _variant_t(true)},
      {L"Ratio", _variant_t(0.5)},        {L"AfterTheRejected", _variant_t(7L)},
  };
  for (const auto& c : kValues) {
    const _variant_t* value = settings.GetPropertyValue(c.key);
    ASSERT_NE(value, nullptr) << c.key;
    EXPECT_EQ(value->vt, c.expected.vt) << c.key;
    EXPECT_TRUE(*value == c.expected) << c.key;
  }
  EXPECT_EQ(settings.GetPropertyLine(L"UI4"), 5);
  EXPECT_EQ(settings.GetPropertyValue(L"Missing"), nullptr);

  const char* rejected[] = {"Array", "Huge", "BadType", "OutOfRange", "NegativeUnsigned",
                            "WrongValue", "Extra", "When"};  // on lines 12 to 19
  EXPECT_EQ(capture.records().size(), std::size(rejected));
  for (size_t i = 0; i < std::size(rejected); ++i) {
    const std::string key = rejected[i];
    EXPECT_EQ(settings.GetPropertyValue(std::wstring(key.begin(), key.end()).c_str()), nullptr);
    const std::string line = "line " + std::to_string(i + 12) + ":";
    bool reported = false;
    for (const auto& record : capture.records()) {
      reported |= record.level == DBG::kLevelWarning &&
                  record.message.find(" " + key + " ignored") != std::string::npos &&
                  record.message.find(line) != std::string::npos;
    }
    EXPECT_TRUE(reported) << key << " at " << line;
  }
}

TEST(SettingsStore, MissingFileTableOrSyntaxMeansDefaults) {
  const struct {
    const char* text;  // null: no file
    bool warned;
  } kCases[] = {
      {nullptr, false},
      {"[QV_DSAccess.OTHER]\nUserIdentityCacheTimeout = 5\n[Other.DEFAULT]\nX = 1\n", false},
      {"[QV_DSAccess.DEFAULT]\nUserIdentityCacheTimeout = 120\nbroken = = 3\n", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text ? c.text : "no file");
    ScopedSettingsFile file(c.text ? c.text : "");
    if (!c.text) std::remove(file.path().c_str());
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    CMgmtObject settings(L"QV_DSAccess", L"DEFAULT", nullptr);
    EXPECT_FALSE(settings.Get());
    EXPECT_EQ(settings.GetPropertyValue(L"UserIdentityCacheTimeout"), nullptr);
    ASSERT_EQ(capture.records().size(), c.warned ? 1u : 0u);
    if (c.warned) {  // names the file, line and column
      const auto& record = capture.records()[0];
      EXPECT_EQ(record.level, DBG::kLevelWarning);
      EXPECT_NE(record.message.find(file.path()), std::string::npos) << record.message;
      EXPECT_NE(record.message.find("line 3, column"), std::string::npos) << record.message;
    }
  }
}

}  // namespace
