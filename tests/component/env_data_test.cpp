#include "component/env_data.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "component/device_information.h"
#include "component/test_hooks.h"

using namespace tilo2::core;

namespace {

class EnvDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tilo2-env-data-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    TiloComponentSetDeviceInformationProvider(nullptr);
    TiloComponentSetDeviceInformationSources("", "");
    std::filesystem::remove_all(root_);
  }

  // Points the device information at a product name file holding `text`.
  void UseProductName(const std::string& text) {
    const std::string path = root_ + "/product_name";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    TiloComponentSetDeviceInformationSources(root_ + "/os-release", path);
  }

  std::string root_;
};

std::shared_ptr<const DeviceInformation> ThrowingProvider() {
  throw std::runtime_error("no device information");
}

TEST_F(EnvDataTest, IsVirtualOnlyForTheExactProductName) {
  struct Case {
    const char* productName;
    int32_t isVirtual;
  };
  // The firmware's file ends in a newline, which the reader trims.
  for (const Case& c : {Case{"Virtual\n", 1}, Case{"virtual\n", 0}, Case{"VIRTUAL\n", 0},
                        Case{"Virtual Machine\n", 0}, Case{"", 0}, Case{"Standard PC\n", 0}}) {
    UseProductName(c.productName);
    EXPECT_EQ(CommonUtils::IsVirtualMachine(), c.isVirtual == 1) << c.productName;
    const std::shared_ptr<TdcEnvData_t> env = CommonUtils::CreateEnvData();
    ASSERT_NE(env, nullptr);
    EXPECT_EQ(env->isVirtual, c.isVirtual) << c.productName;
    EXPECT_EQ(env->context1, nullptr);
    EXPECT_EQ(env->context2, nullptr);
    EXPECT_EQ(env->reserved, nullptr);
    EXPECT_EQ(env->bluetoothContext, nullptr);
    EXPECT_EQ(env->usbContext, nullptr);
  }
}

TEST_F(EnvDataTest, AnUnreadableOrThrowingSourceIsNotVirtual) {
  TiloComponentSetDeviceInformationSources(root_ + "/os-release", root_ + "/missing");
  EXPECT_FALSE(CommonUtils::IsVirtualMachine());

  UseProductName("Virtual\n");
  ASSERT_TRUE(CommonUtils::IsVirtualMachine());
  TiloComponentSetDeviceInformationProvider(&ThrowingProvider);
  EXPECT_FALSE(CommonUtils::IsVirtualMachine());
  EXPECT_EQ(CommonUtils::CreateEnvData()->isVirtual, 0);
  TiloComponentSetDeviceInformationProvider(nullptr);
  EXPECT_EQ(CommonUtils::CreateEnvData()->isVirtual, 1);
}

// The device API layer reads the record by position.
TEST(EnvDataLayoutTest, FieldOrder) {
  EXPECT_EQ(offsetof(TdcEnvData_t, context1), 0u);
  EXPECT_LT(offsetof(TdcEnvData_t, context1), offsetof(TdcEnvData_t, context2));
  EXPECT_LT(offsetof(TdcEnvData_t, context2), offsetof(TdcEnvData_t, reserved));
  EXPECT_LT(offsetof(TdcEnvData_t, reserved), offsetof(TdcEnvData_t, isVirtual));
  EXPECT_LT(offsetof(TdcEnvData_t, isVirtual), offsetof(TdcEnvData_t, bluetoothContext));
  EXPECT_LT(offsetof(TdcEnvData_t, bluetoothContext), offsetof(TdcEnvData_t, usbContext));
}

}  // namespace
