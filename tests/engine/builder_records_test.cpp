// Builder records of the device API layer and the copies a queued job takes.

#include "engine/builder_records.h"

#include <gtest/gtest.h>

#include <cstring>

#include "encoding/builder/cmd_handle.h"

using namespace tilo2::core;

namespace {

TEST(BuilderRecords, CreateChecksItsArgumentsAndMapsTheBuilderResult) {
  struct Case {
    const char* model;
    int language;
    int expected;
  };
  // Language 6 passes the range check; this model then refuses it.
  const Case cases[] = {
      {"RP-S3", 0, 0}, {"RP-S3", 6, 8}, {"RP-S3", 7, 1},   {"RP-S3", -1, 1},
      {"", 0, 1},      {nullptr, 0, 1}, {"NO-SUCH", 0, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model == nullptr ? "(null)" : c.model);
    SCOPED_TRACE(c.language);
    PrinterBuilder_t* builder = reinterpret_cast<PrinterBuilder_t*>(1);
    EXPECT_EQ(TiloCreateBuilder(&builder, c.model, c.language), c.expected);
    if (c.expected != 0) {
      EXPECT_EQ(builder, nullptr);
      continue;
    }
    ASSERT_NE(builder, nullptr);
    EXPECT_STREQ(builder->modelName, c.model);
    EXPECT_EQ(builder->data, nullptr);
    EXPECT_EQ(TiloClearBuilder(builder), 0);
    EXPECT_EQ(DestroyBuilderData(builder), 0);
    EXPECT_EQ(TiloDestroyBuilder(builder), 0);
  }
  EXPECT_EQ(TiloCreateBuilder(nullptr, "RP-S3", 0), 1);
  EXPECT_EQ(TiloDestroyBuilder(nullptr), 1);
  EXPECT_EQ(TiloClearBuilder(nullptr), 1);
  EXPECT_EQ(DestroyBuilderData(nullptr), 1);
}

TEST(BuilderRecords, CopyIsDeepAndOutlivesTheOriginal) {
  PrinterBuilder_t* builder = nullptr;
  ASSERT_EQ(TiloCreateBuilder(&builder, "RP-S3", 0), 0);
  ASSERT_EQ(PrnCmdAddText(builder->builder.get(), "receipt\n"), 0);
  ASSERT_EQ(PrnCmdBuild(builder->builder.get(), &builder->data), 0);
  ASSERT_NE(builder->data, nullptr);

  PrinterBuilder_t* copy = nullptr;
  ASSERT_EQ(CopyBuilderData(builder, &copy), 0);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->builder.get(), builder->builder.get());
  EXPECT_NE(copy->modelName, builder->modelName);
  EXPECT_STREQ(copy->modelName, "RP-S3");
  ASSERT_NE(copy->data, nullptr);
  ASSERT_EQ(copy->data->length, builder->data->length);
  EXPECT_EQ(std::memcmp(copy->data->data, builder->data->data, copy->data->length), 0);

  EXPECT_EQ(DestroyBuilderData(builder), 0);
  EXPECT_EQ(builder->data, nullptr);
  EXPECT_EQ(TiloDestroyBuilder(builder), 0);
  EXPECT_EQ(copy->builder->tag, kPrnCmdTag);
  EXPECT_EQ(TiloDestroyBuilder(copy), 0);
  EXPECT_EQ(CopyBuilderData(nullptr, &copy), 1);
}

TEST(BuilderRecords, DisplayBuilderCreatesCopiesAndDestroys) {
  DisplayBuilder_t* display = nullptr;
  EXPECT_EQ(TiloCreateDisplayBuilder(&display, ""), 1);
  EXPECT_EQ(TiloCreateDisplayBuilder(&display, "NO-SUCH"), 8);
  EXPECT_EQ(display, nullptr);
  ASSERT_EQ(TiloCreateDisplayBuilder(&display, "CD-A1"), 0);
  DisplayBuilder_t* copy = nullptr;
  ASSERT_EQ(CopyDisplayBuilderData(display, &copy), 0);
  EXPECT_NE(copy->builder, display->builder);
  EXPECT_STREQ(copy->modelName, "CD-A1");
  EXPECT_EQ(TiloDestroyDisplayBuilder(display), 0);
  EXPECT_EQ(TiloDestroyDisplayBuilder(copy), 0);
  EXPECT_EQ(TiloDestroyDisplayBuilder(nullptr), 1);
}

TEST(BuilderRecords, SendDataCopiesReplaceOnlyTheBuildersThatAreSet) {
  PrinterBuilder_t* printer = nullptr;
  DisplayBuilder_t* display = nullptr;
  ASSERT_EQ(TiloCreateBuilder(&printer, "RP-S3", 0), 0);
  ASSERT_EQ(TiloCreateDisplayBuilder(&display, "CD-A1"), 0);
  struct Case {
    bool withPrinter;
    bool withDisplay;
  };
  for (const Case c :
       {Case{true, true}, Case{true, false}, Case{false, true}, Case{false, false}}) {
    SCOPED_TRACE(testing::Message() << c.withPrinter << c.withDisplay);
    StepContext_t context{};
    context.printerBuilder = c.withPrinter ? printer : nullptr;
    context.displayBuilder = c.withDisplay ? display : nullptr;
    ASSERT_EQ(CopySendData(&context), 0);
    EXPECT_EQ(context.printerBuilder != nullptr, c.withPrinter);
    EXPECT_EQ(context.displayBuilder != nullptr, c.withDisplay);
    EXPECT_NE(context.printerBuilder, printer);
    EXPECT_NE(context.displayBuilder, display);
    FreeSendData(&context);
    EXPECT_EQ(context.printerBuilder, nullptr);
    EXPECT_EQ(context.displayBuilder, nullptr);
  }
  // A record without a builder copies to one without a builder, freed all the same.
  char name[] = "RP-S3";
  PrinterBuilder_t bare{nullptr, nullptr, name};
  StepContext_t context{};
  context.printerBuilder = &bare;
  ASSERT_EQ(CopySendData(&context), 0);
  ASSERT_NE(context.printerBuilder, &bare);
  EXPECT_EQ(context.printerBuilder->builder, nullptr);
  EXPECT_STREQ(context.printerBuilder->modelName, "RP-S3");
  FreeSendData(&context);
  EXPECT_EQ(CopySendData(nullptr), 1);
  EXPECT_EQ(TiloDestroyBuilder(printer), 0);
  EXPECT_EQ(TiloDestroyDisplayBuilder(display), 0);
}

}  // namespace
