#include "component/local_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "orvik/tilo2/platform.h"

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

TEST(LocalFolderTest, DefaultFromTheEnvironment) {
  const struct {
    const char* xdgDataHome;
    const char* home;
    const char* program;
    const char* folder;
  } cases[] = {
      {"/data/user", "/home/ana", "pos", "/data/user/pos"},
      // A relative XDG_DATA_HOME is ignored, as the base-directory rules say.
      {"data/user", "/home/ana", "pos", "/home/ana/.local/share/pos"},
      {"", "/home/ana", "pos", "/home/ana/.local/share/pos"},
      {nullptr, "/home/ana", "pos", "/home/ana/.local/share/pos"},
      {nullptr, nullptr, "pos", ""},
      {"relative", "", "pos", ""},
      {nullptr, "home/ana", "pos", ""},  // a relative HOME would follow the working directory
      {"/data/user", "/home/ana", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DefaultLocalFolder(c.xdgDataHome, c.home, c.program), c.folder)
        << (c.xdgDataHome ? c.xdgDataHome : "(null)") << ", " << (c.home ? c.home : "(null)");
  }
}

class LocalFolderFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tilo2-local-folder-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    Platform::SetLocalFolder(String());
    std::filesystem::remove_all(root_);
  }

  static unsigned Mode(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return 0;
    return status.st_mode & 07777;
  }

  std::string root_;
};

TEST_F(LocalFolderFixture, ReadingThePathMakesNothingAWriterMakesItPrivate) {
  const std::string folder = root_ + "/a/b/logs";
  Platform::SetLocalFolder(String(folder));
  EXPECT_EQ(Platform::LocalFolder().utf8(), folder);
  EXPECT_EQ(LocalFolderPath(), folder);
  EXPECT_FALSE(std::filesystem::exists(root_ + "/a"));
  // The volume it will be on is known before it exists.
  EXPECT_EQ(NearestExistingPath(folder), root_);
  EXPECT_GT(FreeBytesOfVolume(NearestExistingPath(folder)), 0u);

  EXPECT_EQ(MakeLocalFolder(), folder);
  EXPECT_EQ(Mode(root_ + "/a"), 0700u);
  EXPECT_EQ(Mode(root_ + "/a/b"), 0700u);
  EXPECT_EQ(Mode(folder), 0700u);
  EXPECT_EQ(NearestExistingPath(folder), folder);

  // An existing folder is used as it is.
  const std::string other = root_ + "/existing";
  ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
  Platform::SetLocalFolder(String(other));
  EXPECT_EQ(MakeLocalFolder(), other);
  EXPECT_EQ(Mode(other), 0755u);
}

TEST_F(LocalFolderFixture, AFolderThatCannotBeMadeIsEmpty) {
  const std::string file = root_ + "/file";
  std::ofstream(file) << "not a folder";
  Platform::SetLocalFolder(String(file + "/logs"));
  EXPECT_TRUE(Platform::LocalFolder().empty());
  EXPECT_TRUE(MakeLocalFolder().empty());
  Platform::SetLocalFolder(String(file));
  EXPECT_TRUE(Platform::LocalFolder().empty());
  EXPECT_TRUE(MakeLocalFolder().empty());
  EXPECT_EQ(FreeBytesOfVolume(root_ + "/missing"), 0u);
  EXPECT_EQ(FreeBytesOfVolume(""), 0u);
}

TEST_F(LocalFolderFixture, EmptyPathRestoresTheDefault) {
  const std::string previousXdg = getenv("XDG_DATA_HOME") ? getenv("XDG_DATA_HOME") : "";
  ASSERT_EQ(setenv("XDG_DATA_HOME", root_.c_str(), 1), 0);
  Platform::SetLocalFolder(String(root_ + "/set"));
  EXPECT_EQ(LocalFolderPath(), root_ + "/set");
  Platform::SetLocalFolder(String());
  const std::string folder = LocalFolderPath();
  EXPECT_EQ(folder, root_ + "/test_component");
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_EQ(MakeLocalFolder(), folder);
  EXPECT_EQ(Mode(folder), 0700u);
  if (previousXdg.empty()) {
    unsetenv("XDG_DATA_HOME");
  } else {
    setenv("XDG_DATA_HOME", previousXdg.c_str(), 1);
  }
}

}  // namespace
