// Job-list updates that follow a new status word or battery value.

#include "engine/status_store.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/job_wait.h"
#include "engine/wait_object.h"
#include "foundation/lock_guard.h"

using namespace tilo2::core;

namespace {

class StatusStore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(TiloCreateHandle(&handle_), 0);
    std::memset(&job_, 0, sizeof job_);
    job_.state = kJobStatePending;
    job_.result = 4;
    job_.doneWaitId = CreateWaitObject();
    ASSERT_NE(job_.doneWaitId, 0u);
    PlatformLockGuard lock(handle_->jobListLock);
    handle_->jobs = &job_;
  }
  void TearDown() override {
    {
      PlatformLockGuard lock(handle_->jobListLock);
      handle_->jobs = nullptr;
    }
    DeleteWaitObject(job_.doneWaitId);
    EXPECT_EQ(TiloDestroyHandle(handle_), 0);
  }
  bool Signalled() const {
    int32_t result = -1;
    return WaitForWaitObject(job_.doneWaitId, 0, &result) == 0;
  }

  PrintHandle_t* handle_ = nullptr;
  JobWait_t job_{};
};

TEST_F(StatusStore, UpdateJobStatusEndsPendingJobsOnErrorsAndSilence) {
  struct Case {
    uint32_t flags;
    uint8_t batteryModel;
    int32_t infoKind;
    int32_t state;  // expected
    int32_t result;
    uint32_t status;
  };
  const Case cases[] = {
      {0x80000000u, 0, 0, kJobStatePending, 4, 0x80000000u},  // online
      {0x80000008u, 0, 0, kJobStatePending, 4, 0x80000008u},  // offline, no reason
      {0x80000028u, 0, 0, kJobStateEnded, 9, 0x80000028u},    // cover open
      {0x80040008u, 0, 0, kJobStateEnded, 9, 0x80040008u},    // paper end
      {0x80000028u, 0, 1, kJobStatePending, 4, 0x80000028u},  // extended status decides
      {0x8000000Cu, 0, 0, kJobStatePending, 4, 0x8000000Cu},  // drawer pin, no battery
      {0x8000000Cu, 1, 0, kJobStateEnded, 9, 0x8000000Cu},    // battery empty
      {0x1u, 0, 0, kJobStateEnded, 3, 0x1u},                  // never answered
      {0x80000029u, 0, 0, kJobStateEnded, 3, 0x1u},           // silent after an error
  };
  for (const Case& c : cases) {
    handle_->statusFlags = c.flags;
    handle_->batteryModel = c.batteryModel;
    handle_->infoKind = c.infoKind;
    ASSERT_EQ(UpdateJobStatus(handle_), 0);
    EXPECT_EQ(job_.state, c.state) << std::hex << c.flags;
    EXPECT_EQ(job_.result, c.result) << std::hex << c.flags;
    EXPECT_EQ(job_.status, c.status) << std::hex << c.flags;
    EXPECT_EQ(Signalled(), c.state != kJobStatePending) << std::hex << c.flags;
    TearDown();
    SetUp();
  }
}

TEST_F(StatusStore, AReportedJobKeepsItsOutcome) {
  job_.state = kJobStateCompleted;
  job_.result = 0;
  handle_->statusFlags = 0x80000028u;
  ASSERT_EQ(UpdateJobStatus(handle_), 0);
  EXPECT_EQ(job_.state, kJobStateCompleted);
  EXPECT_EQ(job_.result, 0);
  EXPECT_EQ(job_.status, 0x80000028u);
  // A failed one keeps the word it failed with as well.
  job_.state = kJobStateEnded;
  job_.result = 3;
  job_.status = 0x1u;
  handle_->statusFlags = 0x0u;
  ASSERT_EQ(UpdateJobStatus(handle_), 0);
  EXPECT_EQ(job_.state, kJobStateEnded);
  EXPECT_EQ(job_.status, 0x1u);
  EXPECT_EQ(UpdateJobStatus(nullptr), 1);
}

TEST_F(StatusStore, UpdateJobBatteryCopiesTheHandleValue) {
  SetBatteryValue(handle_, 0x0203);
  ASSERT_EQ(UpdateJobBattery(handle_), 0);
  EXPECT_EQ(job_.battery, 0x0203);
  EXPECT_EQ(GetBatteryValue(nullptr), -1);
}

}  // namespace
