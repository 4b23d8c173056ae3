// The library's private files on POSIX systems: where the account's cache
// folder is, the modes a replacement is written with, and the files a read
// refuses because someone other than the account could have written them.
#include "platform/private_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/scoped_environment.h"
#include "tests/support/scoped_temporary_folder.h"

namespace platform {
namespace {

using userpolicy::testing::ScopedEnvironment;

TEST(UserCacheFile, FollowsXdgCacheHomeThenHome) {
  {
    ScopedEnvironment environment({{"XDG_CACHE_HOME", "/var/tmp/cache"}, {"HOME", "/home/svc"}});
    EXPECT_EQ(UserCacheFile("attribute-types"), "/var/tmp/cache/userpolicy/attribute-types");
  }
  {
    ScopedEnvironment environment({{"XDG_CACHE_HOME", "relative"}, {"HOME", "/home/svc"}});
    EXPECT_EQ(UserCacheFile("attribute-types"), "/home/svc/.cache/userpolicy/attribute-types");
  }
  ScopedEnvironment environment({{"XDG_CACHE_HOME", std::nullopt}, {"HOME", std::nullopt}});
  EXPECT_EQ(UserCacheFile("attribute-types"), "");
}

class PrivateFileTest : public ::testing::Test {
 protected:

  static mode_t ModeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
  }
  bool Readable(const std::string& path) {
    std::string contents;
    return ReadPrivateFile(path, 1024, &contents);
  }

  const userpolicy::testing::ScopedTemporaryFolder temporary_;
  const std::filesystem::path& folder_ = temporary_.path();
  const std::string file_ = (folder_ / "a" / "b" / "table").string();
};

TEST_F(PrivateFileTest, ReplacesWholeWithOwnerOnlyModesAndLeavesNothingBeside) {
  std::string error;
  ASSERT_TRUE(ReplacePrivateFile(file_, "first\n", &error)) << error;
  ASSERT_TRUE(ReplacePrivateFile(file_, "second\n", &error)) << error;
  std::string contents;
  ASSERT_TRUE(ReadPrivateFile(file_, 1024, &contents));
  EXPECT_EQ(contents, "second\n");
  EXPECT_EQ(ModeOf(file_), 0600u);
  EXPECT_EQ(ModeOf((folder_ / "a").string()), 0700u);
  EXPECT_EQ(ModeOf((folder_ / "a" / "b").string()), 0700u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_ / "a" / "b"),
                          std::filesystem::directory_iterator()),
            1);

  EXPECT_FALSE(ReadPrivateFile(file_, 6, &contents));  // larger than allowed
  EXPECT_TRUE(contents.empty());

  // A folder that cannot be made is named in the error.
  EXPECT_FALSE(ReplacePrivateFile(file_ + "/below-a-file", "x", &error));
  EXPECT_NE(error.find(file_), std::string::npos) << error;
  std::string unchanged;
  ASSERT_TRUE(ReadPrivateFile(file_, 1024, &unchanged));
  EXPECT_EQ(unchanged, "second\n");
}

TEST_F(PrivateFileTest, ReadsOnlyWhatNoOtherAccountCouldHaveWritten) {
  std::string error;
  ASSERT_TRUE(ReplacePrivateFile(file_, "table\n", &error)) << error;
  EXPECT_FALSE(Readable((folder_ / "missing").string()));

  ASSERT_EQ(chmod(file_.c_str(), 0644), 0);
  EXPECT_TRUE(Readable(file_));  // others may read what is not secret
  for (const mode_t writable : {0664, 0646, 0666}) {
    ASSERT_EQ(chmod(file_.c_str(), writable), 0);
    EXPECT_FALSE(Readable(file_)) << std::oct << writable;
  }
  ASSERT_EQ(chmod(file_.c_str(), 0600), 0);
  const std::string link = (folder_ / "link").string();
  std::filesystem::create_symlink(file_, link);
  EXPECT_FALSE(Readable(link));
  EXPECT_FALSE(Readable((folder_ / "a").string()));  // a folder
  if (geteuid() == 0) {
    // A file of another account, even one only it may write.
    ASSERT_EQ(chown(file_.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(Readable(file_));
  }
}

}  // namespace
}  // namespace platform
