// The library's private files on Windows: the account's local application
// data folder, folders made on the way, a replacement that takes the place
// of the file it replaces (MoveFileExW), and reads bounded by size.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/private_file.h"
#include "platform/utf8.h"
#include "tests/support/scoped_temporary_folder.h"

namespace platform {
namespace {

TEST(UserCacheFile, IsInTheAccountsLocalApplicationData) {
  const std::string path = UserCacheFile("attribute-types");
  ASSERT_FALSE(path.empty());
  EXPECT_NE(path.find(":\\"), std::string::npos) << path;
  const std::string tail = "\\userpolicy\\attribute-types";
  ASSERT_GT(path.size(), tail.size());
  EXPECT_EQ(path.substr(path.size() - tail.size()), tail);
}

TEST(PrivateFile, ReplacesWholeMakingItsFoldersAndReadsBoundedBySize) {
  const userpolicy::testing::ScopedTemporaryFolder temporary;
  const std::filesystem::path& folder = temporary.path();
  const std::string file = WideToUtf8((folder / "a" / "b" / "table").wstring());
  std::string error;
  ASSERT_TRUE(ReplacePrivateFile(file, "first\n", &error)) << error;
  ASSERT_TRUE(ReplacePrivateFile(file, "second\n", &error)) << error;
  std::string contents;
  ASSERT_TRUE(ReadPrivateFile(file, 1024, &contents));
  EXPECT_EQ(contents, "second\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder / "a" / "b"),
                          std::filesystem::directory_iterator()),
            1);  // nothing left beside it
  EXPECT_FALSE(ReadPrivateFile(file, 6, &contents));
  EXPECT_TRUE(contents.empty());
  EXPECT_FALSE(ReadPrivateFile(file + ".missing", 1024, &contents));

  EXPECT_FALSE(ReplacePrivateFile(file + "\\below-a-file", "x", &error));
  EXPECT_NE(error.find(file), std::string::npos) << error;
}

}  // namespace
}  // namespace platform
