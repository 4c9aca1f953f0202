// The reply handlers on canned packets: job ends, status words, battery,
// hybrid completions and MICR results.

#include "engine/reply_analysis.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/event_callbacks.h"
#include "engine/job_wait.h"
#include "engine/status_store.h"
#include "engine/wait_object.h"
#include "foundation/lock_guard.h"

using namespace tilo2::core;

namespace {

using Packet = std::vector<uint8_t>;

std::mutex firedLock;
std::vector<std::pair<int, uint32_t>> fired;

template <int Slot>
void Record(TdcBackendEnv_t*, PrintHandle_t*, const char*, uint32_t value) {
  std::lock_guard<std::mutex> lock(firedLock);
  fired.emplace_back(Slot, value);
}

std::vector<std::pair<int, uint32_t>> TakeFired() {
  std::lock_guard<std::mutex> lock(firedLock);
  return std::exchange(fired, {});
}

Packet JobEndPacket(const char* id) {
  return Packet{'7',
                0x22,
                static_cast<uint8_t>(id[0]),
                static_cast<uint8_t>(id[1]),
                static_cast<uint8_t>(id[2]),
                static_cast<uint8_t>(id[3]),
                0x00};
}

PrnCmdHandle_t* OpenBuilder(const char* model) {
  PrnCmdHandle_t* builder = nullptr;
  EXPECT_EQ(PrnCmdOpen(model, 0, &builder), 0) << model;
  return builder;
}

class ReplyAnalysis : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(TiloCreateHandle(&handle_), 0);
    ASSERT_EQ(SetEventCallback(handle_, EVENT_STATUS_CHANGE, &Record<EVENT_STATUS_CHANGE>), 0);
    ASSERT_EQ(SetEventCallback(handle_, EVENT_BATTERY_CHANGE, &Record<EVENT_BATTERY_CHANGE>), 0);
    TakeFired();
    ResetContext();
  }

  void TearDown() override {
    {
      PlatformLockGuard lock(handle_->jobListLock);
      handle_->jobs = nullptr;
    }
    for (auto& job : jobs_) DeleteWaitObject(job->doneWaitId);
    if (builder_ != nullptr) PrnCmdClose(builder_);
    EXPECT_EQ(TiloDestroyHandle(handle_), 0);
  }

  // A fresh handle for the next case of a table.
  void Renew() {
    TearDown();
    jobs_.clear();
    builder_ = nullptr;
    SetUp();
  }

  void ResetContext() {
    std::memset(&context_, 0, sizeof context_);
    context_.handle = handle_;
  }

  JobWait_t* AddJob(const char* id, int32_t kind, int32_t method = 0) {
    auto job = std::make_unique<JobWait_t>();
    std::memset(job.get(), 0, sizeof(JobWait_t));
    std::memcpy(job->jobId, id, kJobIdLength);
    job->kind = kind;
    job->method = method;
    job->state = kJobStatePending;
    job->result = 4;
    job->doneWaitId = CreateWaitObject();
    EXPECT_NE(job->doneWaitId, 0u);
    JobWait_t* raw = job.get();
    PlatformLockGuard lock(handle_->jobListLock);
    JobWait_t** tail = &handle_->jobs;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = raw;
    jobs_.push_back(std::move(job));
    return raw;
  }

  static bool Signalled(const JobWait_t* job) {
    int32_t result = -1;
    return WaitForWaitObject(job->doneWaitId, 0, &result) == 0;
  }

  void Feed(PrnReplyHandler handler, int kind, const Packet& packet) {
    handler(kind, packet.data(), static_cast<uint32_t>(packet.size()), &context_);
  }

  void SetFlag(PlatformMutex_t& lock, uint8_t& flag, uint8_t value) {
    PlatformLockGuard guard(lock);
    flag = value;
  }

  PrintHandle_t* handle_ = nullptr;
  PrnCmdHandle_t* builder_ = nullptr;
  ReplyWaitContext context_{};
  std::vector<std::unique_ptr<JobWait_t>> jobs_;
};

TEST_F(ReplyAnalysis, JobEndsCompleteTheNamedJobAndTheOneBefore) {
  struct Job {
    const char* id;
    int32_t kind;
    int32_t method;
  };
  enum BuilderUse { kAttachedStandard, kContextStandard, kAttachedImpact, kNoBuilder };
  struct Case {
    const char* name;
    std::vector<Job> jobs;
    int kind;
    Packet packet;
    BuilderUse builder;
    bool openHandler;
    std::vector<bool> done;
    int32_t jobEndSeen;
  };
  const Case cases[] = {
      {"ignored id FFFF",
       {{"0001", 0, 0}},
       8,
       JobEndPacket("FFFF"),
       kAttachedStandard,
       false,
       {false},
       1},
      {"ignored id ABCD",
       {{"0001", 0, 0}},
       8,
       JobEndPacket("ABCD"),
       kContextStandard,
       false,
       {false},
       1},
      {"first of two",
       {{"0001", 0, 0}, {"0002", 0, 0}},
       8,
       JobEndPacket("0001"),
       kAttachedStandard,
       false,
       {true, false},
       1},
      {"second of two completes both",
       {{"0001", 0, 0}, {"0002", 0, 0}},
       8,
       JobEndPacket("0002"),
       kContextStandard,
       false,
       {true, true},
       1},
      {"only the one directly before",
       {{"0001", 0, 0}, {"0002", 0, 0}, {"0003", 0, 0}},
       8,
       JobEndPacket("0003"),
       kAttachedStandard,
       false,
       {false, true, true},
       1},
      {"one-byte end completes the oldest only",
       {{"0001", 0, 0}, {"0002", 0, 0}},
       3,
       {0x00},
       kAttachedImpact,
       false,
       {true, false},
       1},
      // The display job's end still counts as a job end for the reader.
      {"display id past the attached test",
       {{"0000", 2, 0}, {"1005", 1, 0}},
       8,
       JobEndPacket("1005"),
       kAttachedImpact,
       false,
       {false, true},
       1},
      {"insertion job with the same id untouched",
       {{"0000", 2, 0}, {"0000", 0, 0}},
       8,
       JobEndPacket("0000"),
       kAttachedStandard,
       false,
       {false, true},
       1},
      {"MICR job is never the one before",
       {{"0000", 2, 4}, {"0001", 0, 0}},
       8,
       JobEndPacket("0001"),
       kAttachedStandard,
       false,
       {false, true},
       1},
      {"hybrid send carries an id",
       {{"0001", 0, 0}, {"0002", 2, 1}},
       8,
       JobEndPacket("0002"),
       kAttachedStandard,
       false,
       {true, true},
       1},
      {"generic builder has no test",
       {{"0001", 0, 0}},
       8,
       JobEndPacket("0001"),
       kNoBuilder,
       false,
       {false},
       0},
      {"open handler only marks",
       {{"0001", 0, 0}},
       8,
       JobEndPacket("0001"),
       kContextStandard,
       true,
       {false},
       1},
      {"open handler ignores the attached builder",
       {{"0001", 0, 0}},
       8,
       JobEndPacket("0001"),
       kAttachedStandard,
       true,
       {false},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PrnCmdHandle_t* builder = OpenBuilder(c.builder == kAttachedImpact ? "RP-D4"
                                          : c.builder == kNoBuilder    ? ""
                                                                       : "RP-M3");
    if (c.builder == kContextStandard || c.builder == kNoBuilder) {
      builder_ = builder;
      context_.builder = builder;
    } else {
      PlatformLockGuard lock(handle_->attachLock);
      handle_->attachedBuilder = MakeSharedPrnBuilder(builder);
    }
    std::vector<JobWait_t*> added;
    for (const Job& job : c.jobs) added.push_back(AddJob(job.id, job.kind, job.method));
    Feed(c.openHandler ? AnalyzeOpenResponse : AnalyzeResponse, c.kind, c.packet);
    for (size_t i = 0; i < added.size(); ++i) {
      EXPECT_EQ(Signalled(added[i]), c.done[i]) << "job " << i;
      if (c.done[i]) {
        EXPECT_EQ(added[i]->state, kJobStateCompleted);
        EXPECT_EQ(added[i]->result, 0);
      }
    }
    EXPECT_EQ(context_.jobEndSeen, c.jobEndSeen);
    Renew();
  }
}

TEST_F(ReplyAnalysis, AutomaticStatusRaisesEventsOnlyWithTheMonitorHandler) {
  const Packet offline = {0x18, 0x00, 0x00, 0x00};
  Feed(AnalyzeOpenResponse, kPrnReplyAutoStatus, offline);
  EXPECT_TRUE(TakeFired().empty());
  EXPECT_EQ(handle_->statusFlags.load(), 0x80000008u);
  EXPECT_EQ(context_.asbSeen, 1);
  EXPECT_EQ(handle_->asbSeen.load(), 0);

  // The monitor's handler compares against the word stored silently.
  const Packet online = {0x10, 0x00, 0x00, 0x00};
  Feed(AnalyzeResponse, kPrnReplyAutoStatus, online);
  const std::vector<std::pair<int, uint32_t>> expected = {{EVENT_STATUS_CHANGE, 0x80000000u}};
  EXPECT_EQ(TakeFired(), expected);
  EXPECT_EQ(handle_->statusFlags.load(), 0x80000000u);
  EXPECT_EQ(handle_->asbSeen.load(), 1);
  EXPECT_EQ(handle_->asbSettingDone.load(), 1);
  uint8_t raw[4];
  GetRawAsb(handle_, raw);
  EXPECT_EQ(std::memcmp(raw, online.data(), 4), 0);
}

TEST_F(ReplyAnalysis, OfflineWithAReasonEndsPendingJobsWithPrinterError) {
  JobWait_t* job = AddJob("0001", kJobKindPrint);
  Feed(AnalyzeResponse, kPrnReplyAutoStatus, {0x38, 0x00, 0x00, 0x00});
  EXPECT_TRUE(Signalled(job));
  EXPECT_EQ(job->state, kJobStateEnded);
  EXPECT_EQ(job->result, 9);
  EXPECT_EQ(job->status, 0x80000028u);
}

TEST_F(ReplyAnalysis, FourthRealtimeReplyBecomesTheStatusWithoutAnAutomaticStatus) {
  // The held status says insertion waiting (third byte bit 1).
  const uint8_t held[4] = {0x10, 0x00, 0x02, 0x00};
  SetRawAsb(handle_, held);
  const uint8_t replies[4] = {0x1A, 0x16, 0x12, 0x32};
  for (int i = 0; i < 4; ++i) {
    context_.rtIndex = i;
    Feed(AnalyzeResponse, kPrnReplyRealtimeByte, {replies[i]});
    EXPECT_EQ(context_.rt[i], replies[i]);
  }
  EXPECT_EQ(context_.rtSeen, 1);
  uint8_t raw[4];
  GetRawAsb(handle_, raw);
  const uint8_t expectedRaw[4] = {0x38, 0x00, 0x06, 0x0F};
  EXPECT_EQ(std::memcmp(raw, expectedRaw, 4), 0);
  EXPECT_EQ(handle_->statusFlags.load(), 0x8F060028u);

  // With an automatic status in the same exchange the replies only record.
  ResetContext();
  context_.asbSeen = 1;
  context_.rtIndex = 3;
  Feed(AnalyzeResponse, kPrnReplyRealtimeByte, {0x12});
  GetRawAsb(handle_, raw);
  EXPECT_EQ(std::memcmp(raw, expectedRaw, 4), 0);

  // Index 17 and 18 replies and bytes that are no real-time reply.
  ResetContext();
  context_.rtIndex = kRtIndexInterruptSupport;
  Feed(AnalyzeResponse, kPrnReplyRealtimeByte, {0x16});
  EXPECT_EQ(context_.rt17, 0x16);
  EXPECT_EQ(context_.rt17Seen, 1);
  EXPECT_EQ(context_.rtSeen, 0);
  context_.rtIndex = kRtIndexDisplay;
  Feed(AnalyzeOpenResponse, kPrnReplyRealtimeByte, {0x12});
  EXPECT_EQ(context_.rt18Seen, 1);
  context_.rtIndex = 0;
  Feed(AnalyzeResponse, kPrnReplyRealtimeByte, {0x13});
  EXPECT_EQ(context_.rtSeen, 0);
}

TEST_F(ReplyAnalysis, BatteryEventOnlyWhenTheValueChanges) {
  JobWait_t* job = AddJob("0001", kJobKindPrint);
  Feed(AnalyzeResponse, kPrnReplySeven, {'7', 'E', 0x01, 0x02, 0x00});
  std::vector<std::pair<int, uint32_t>> expected = {{EVENT_BATTERY_CHANGE, 0x0102u}};
  EXPECT_EQ(TakeFired(), expected);
  EXPECT_EQ(GetBatteryValue(handle_), 0x0102);
  EXPECT_EQ(job->battery, 0x0102);
  EXPECT_EQ(context_.batterySeen, 1);
  EXPECT_EQ(handle_->batteryModel.load(), 1);

  Feed(AnalyzeResponse, kPrnReplySeven, {'7', 'E', 0x01, 0x02, 0x00});
  EXPECT_TRUE(TakeFired().empty());

  // The open handler records the value in the context only.
  Feed(AnalyzeOpenResponse, kPrnReplySeven, {'7', 'E', 0x00, 0x05, 0x00});
  EXPECT_TRUE(TakeFired().empty());
  EXPECT_EQ(context_.battery, 5);
  EXPECT_EQ(GetBatteryValue(handle_), 0x0102);
}

TEST_F(ReplyAnalysis, SevenRepliesMarkTheContextAndTheHandle) {
  for (PrnReplyHandler handler : {AnalyzeResponse, AnalyzeOpenResponse}) {
    ResetContext();
    Feed(handler, kPrnReplySeven, {'7', '%', 0x00});
    EXPECT_EQ(context_.clearReplySeen, 1);
    Feed(handler, kPrnReplySeven, {'7', 0x5C, '0', 0x00});
    EXPECT_EQ(context_.interruptReplySeen, 1);
    EXPECT_EQ(context_.interruptVerdict, 1);
    Feed(handler, kPrnReplySeven, {'7', 0x5C, '1', 0x00});
    EXPECT_EQ(context_.interruptVerdict, 0);
    const Packet offline = {'7', '#', 1, 2, 3, 4, 0x1F, 0x00};
    Feed(handler, kPrnReplySeven, offline);
    EXPECT_EQ(context_.offlineRespSeen, 1);
    uint8_t stored[8];
    GetOfflineResponseBytes(handle_, stored);
    EXPECT_EQ(std::memcmp(stored, offline.data(), 8), 0);
  }
  // Paper width code and narrow flag come only before the monitor runs.
  Feed(AnalyzeResponse, kPrnReplySeven, {'7', '\'', '3', 'x', 0x42, 0x00});
  EXPECT_EQ(handle_->infoByte.load(), 0);
  Feed(AnalyzeOpenResponse, kPrnReplySeven, {'7', '\'', '3', 'x', 0x42, 0x00});
  EXPECT_EQ(handle_->infoByte.load(), 0x42);
  Feed(AnalyzeOpenResponse, kPrnReplySeven, {'7', '\'', '3', 'x', 0x43, 0x00});
  EXPECT_EQ(handle_->infoByte.load(), 0x42);
  Feed(AnalyzeOpenResponse, kPrnReplySeven, {'7', '\'', '1', 'x', 'y', '1', 0x00});
  EXPECT_EQ(handle_->infoFlag2.load(), 1);
  Feed(AnalyzeOpenResponse, kPrnReplySeven, {'7', '\'', '1', 'x', 'y', '0', 0x00});
  EXPECT_EQ(handle_->infoFlag2.load(), 0);

  Feed(AnalyzeResponse, kPrnReplyStatusByte, {0x20});
  Feed(AnalyzeResponse, kPrnReplyStatusByte, {0x21});
  EXPECT_EQ(handle_->modelId.load(), 0x20);
  EXPECT_EQ(context_.modelIdSeen, 1);
  Feed(AnalyzeOpenResponse, kPrnReplyUnderscore, {'_', 'A', 0x00});
  EXPECT_EQ(context_.nameSeen, 1);
}

TEST_F(ReplyAnalysis, PaperSupportIsRebuiltFromEachReply) {
  struct Case {
    Packet packet;
    uint32_t support;
    uint8_t infoFlag;
  };
  const Case cases[] = {
      {{'=', '!', 0x28, 0x00}, 0x5u, 0},
      {{'=', '!', 0x08, 0x20, 0x00}, 0x6u, 0},
      {{'=', '!', 0x00, 0x20, 0x02, 0x00}, 0x2u, 1},
      {{'=', '!', 0x00, 0x20, 0x02, 0x00, 0x00}, 0x0u, 0},
      {{'=', '!', 0x00, 0x00}, 0x0u, 0},
  };
  for (const Case& c : cases) {
    ResetContext();
    Feed(AnalyzeOpenResponse, kPrnReplyEquals, c.packet);
    EXPECT_EQ(handle_->paperSupport.load(), c.support) << c.packet.size();
    EXPECT_EQ(context_.infoFlag, c.infoFlag) << c.packet.size();
    EXPECT_EQ(context_.infoSeen, 1);
  }
  Feed(AnalyzeResponse, kPrnReplyEquals, {'=', 'n', 0x31, 0x00});
  Feed(AnalyzeResponse, kPrnReplyEquals, {'=', 'n', 0x32, 0x00});
  EXPECT_EQ(handle_->infoByte.load(), 0x31);
}

TEST_F(ReplyAnalysis, PaperPulledOutEndsTheRunningHybridOperation) {
  const Packet pulled = {'7', 'N', 'x', '0', 0x00};
  Feed(AnalyzeResponse, kPrnReplySeven, pulled);
  EXPECT_EQ(handle_->paperPulledOut.load(), 1);
  Feed(AnalyzeOpenResponse, kPrnReplySeven, pulled);

  handle_->paperPulledOut = 0;
  JobWait_t* insertion = AddJob("0000", kJobKindHybrid, kMethodWaitInsertion);
  JobWait_t* micr = AddJob("0000", kJobKindHybrid, kMethodReadMicrData);
  SetFlag(handle_->waitInsertionLock, handle_->waitInsertion, 1);
  SetFlag(handle_->micrReadLock, handle_->micrRead, 1);
  Feed(AnalyzeResponse, kPrnReplySeven, pulled);
  EXPECT_TRUE(Signalled(insertion));
  EXPECT_EQ(insertion->result, 19);
  EXPECT_FALSE(Signalled(micr));
  EXPECT_EQ(handle_->paperPulledOut.load(), 0);
}

TEST_F(ReplyAnalysis, MicrTextIsDecodedAndHandedOver) {
  struct Case {
    Packet packet;
    std::string text;
  };
  const Case cases[] = {
      {{'7', '*', 0x04, 0x40, 0x1F, 0x4D, 0x4E, 0x00}, "10"},
      {{'7', '*', 0x00, 0x40, 0x1F, 'A', '1', '2', 0x00}, "A12"},
      {{'7', '*', 0x00, 0x40, 0x1F, 0x00}, ""},
  };
  for (const Case& c : cases) {
    SetFlag(handle_->micrReadLock, handle_->micrRead, 1);
    JobWait_t* micr = AddJob("0000", kJobKindHybrid, kMethodReadMicrData);
    Feed(AnalyzeResponse, kPrnReplySeven, c.packet);
    EXPECT_TRUE(Signalled(micr)) << c.text;
    EXPECT_EQ(micr->state, kJobStateCompleted);
    const char* text = handle_->micrText.load();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), c.text);
    Renew();
  }
}

TEST_F(ReplyAnalysis, MicrErrorLettersGiveTheirResults) {
  struct Case {
    uint8_t letter;
    int32_t result;  // -1: ignored
  };
  const Case cases[] = {
      {'A', 12}, {'B', 11}, {'C', 4}, {'D', 13}, {'E', 14}, {'F', 15},
      {'G', 16}, {'H', 17}, {'I', 9}, {'J', 18}, {'K', -1}, {'@', -1},
  };
  for (const Case& c : cases) {
    SetFlag(handle_->micrReadLock, handle_->micrRead, 1);
    JobWait_t* micr = AddJob("0000", kJobKindHybrid, kMethodReadMicrData);
    JobWait_t* cancel = AddJob("0000", kJobKindHybrid, kMethodCancelInsertion);
    Feed(AnalyzeResponse, kPrnReplySeven, {'7', '*', 0x20, c.letter, 0x00, 0x00});
    EXPECT_EQ(Signalled(micr), c.result >= 0) << c.letter;
    if (c.result >= 0) {
      EXPECT_EQ(micr->state, kJobStateEnded) << c.letter;
      EXPECT_EQ(micr->result, c.result) << c.letter;
    }
    // A cancelled read also finishes the insertion cancel.
    EXPECT_EQ(Signalled(cancel), c.letter == 'B') << c.letter;
    Renew();
  }
  // Without a running MICR read the reply is ignored.
  JobWait_t* micr = AddJob("0000", kJobKindHybrid, kMethodReadMicrData);
  Feed(AnalyzeResponse, kPrnReplySeven, {'7', '*', 0x20, 'A', 0x00, 0x00});
  EXPECT_FALSE(Signalled(micr));
}

TEST_F(ReplyAnalysis, AutomaticStatusFinishesHybridOperations) {
  // Insertion cancel: finishes once insertion waiting (bit 17) clears and
  // ends the insertion wait with 11.
  JobWait_t* cancel = AddJob("0000", kJobKindHybrid, kMethodCancelInsertion);
  JobWait_t* insertion = AddJob("0000", kJobKindHybrid, kMethodWaitInsertion);
  SetFlag(handle_->cancelInsertionLock, handle_->cancelInsertion, 1);
  SetFlag(handle_->waitInsertionLock, handle_->waitInsertion, 1);
  Feed(AnalyzeResponse, kPrnReplyAutoStatus, {0x10, 0x00, 0x02, 0x0A});
  EXPECT_FALSE(Signalled(cancel));
  EXPECT_EQ(context_.cancelDone, 0);
  Feed(AnalyzeResponse, kPrnReplyAutoStatus, {0x10, 0x00, 0x00, 0x0A});
  EXPECT_TRUE(Signalled(cancel));
  EXPECT_EQ(cancel->state, kJobStateCompleted);
  EXPECT_TRUE(Signalled(insertion));
  EXPECT_EQ(insertion->result, 11);
  EXPECT_EQ(context_.cancelDone, 1);
}

TEST_F(ReplyAnalysis, InsertionWaitEndsWhenPaperStandsInAPath) {
  struct Case {
    uint8_t fourth;
    bool done;
  };
  const Case cases[] = {{0x0A, false}, {0x08, true}, {0x02, true}, {0x00, true}};
  for (const Case& c : cases) {
    SetFlag(handle_->waitInsertionLock, handle_->waitInsertion, 1);
    JobWait_t* insertion = AddJob("0000", kJobKindHybrid, kMethodWaitInsertion);
    Feed(AnalyzeResponse, kPrnReplyAutoStatus, {0x10, 0x00, 0x00, c.fourth});
    EXPECT_EQ(Signalled(insertion), c.done) << int{c.fourth};
    if (c.done) {
      EXPECT_EQ(insertion->state, kJobStateCompleted);
    }
    Renew();
  }
}

TEST_F(ReplyAnalysis, ExtendedStatusReportsAHybridSendError) {
  handle_->infoKind = 1;
  SetSendInProgress(handle_, 1);
  JobWait_t* send = AddJob("0001", kJobKindHybrid, kMethodSendData);
  // Offline with a reason, bits 24 and 26 clear: bit 11 decides.
  Feed(AnalyzeResponse, kPrnReplyAutoStatus, {0x18, 0x04, 0x00, 0x00});
  EXPECT_FALSE(Signalled(send));
  Feed(AnalyzeResponse, kPrnReplyBlock9, {'9', 0x44, 0x40, 0x00});
  EXPECT_EQ(context_.extSeen, 1);
  EXPECT_FALSE(Signalled(send));
  Feed(AnalyzeResponse, kPrnReplyBlock9, {'9', 0x48, 0x40, 0x00});
  EXPECT_TRUE(Signalled(send));
  EXPECT_EQ(send->result, 9);
  EXPECT_EQ(GetSendInProgress(handle_), 0);
}

TEST_F(ReplyAnalysis, SplitStreamReachesTheHandler) {
  PrnCmdHandle_t* builder = OpenBuilder("RP-M3");
  builder_ = builder;
  context_.builder = builder;
  JobWait_t* job = AddJob("0007", kJobKindPrint);
  const Packet stream = {0x10, 0x00, 0x00, 0x00, '7', 0x22, '0', '0', '0', '7', 0x00};
  ASSERT_EQ(PrnSplitReplyStream(&builder->replyRemainder, stream.data(),
                                static_cast<uint32_t>(stream.size()), AnalyzeResponse, &context_),
            0);
  EXPECT_EQ(context_.asbSeen, 1);
  EXPECT_EQ(context_.jobEndSeen, 1);
  EXPECT_TRUE(Signalled(job));
}

}  // namespace
