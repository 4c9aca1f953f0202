#include "component/device_information.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/utsname.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "component/test_hooks.h"

using namespace tilo2::core;

namespace {

class DeviceInformationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tilo2-device-info-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    TiloComponentSetDeviceInformationSources("", "");
    std::filesystem::remove_all(root_);
  }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = root_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  std::string root_;
};

TEST_F(DeviceInformationTest, ReadsTrimsAndKeepsTheTexts) {
  const std::string osRelease = Write(
      "os-release", "NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 \\\"bookworm\\\"\"\n");
  const std::string product = Write("product_name", "  Virtual\n");
  TiloComponentSetDeviceInformationSources(osRelease, product);
  const auto information = GetDeviceInformation();
  EXPECT_EQ(information->operatingSystem, "Debian GNU/Linux 12 \"bookworm\"");
  EXPECT_EQ(information->systemProductName, "Virtual");

  // Read once: later changes to the sources are not seen.
  Write("product_name", "Other\n");
  EXPECT_EQ(GetDeviceInformation(), information);
}

TEST_F(DeviceInformationTest, TextsAreCutTo255Bytes) {
  const std::string longName(300, 'x');
  // 254 ASCII bytes then a two-byte character: the cut backs off before it.
  const std::string accented = std::string(254, 'a') + "\xC3\xA9" + "tail";
  const std::string osRelease = Write("os-release", "PRETTY_NAME='" + accented + "'\n");
  const std::string product = Write("product_name", longName + "\n");
  TiloComponentSetDeviceInformationSources(osRelease, product);
  const auto information = GetDeviceInformation();
  EXPECT_EQ(information->systemProductName, std::string(255, 'x'));
  EXPECT_EQ(information->operatingSystem, std::string(254, 'a'));
}

TEST_F(DeviceInformationTest, UnreadableSources) {
  // No os-release (or one without PRETTY_NAME): the kernel's name and release.
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  const std::string kernel = std::string(names.sysname) + " " + names.release;
  for (const std::string& osRelease : {root_ + "/missing", Write("os-release", "NAME=x\n")}) {
    TiloComponentSetDeviceInformationSources(osRelease, root_ + "/missing");
    const auto information = GetDeviceInformation();
    EXPECT_EQ(information->operatingSystem, kernel);
    EXPECT_EQ(information->systemProductName, "");
  }
}

}  // namespace
