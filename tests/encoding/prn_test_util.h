#pragma once
// Helpers shared by the command builder tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <span>
#include <vector>

#include "encoding/builder/cmd_buffer.h"
#include "encoding/builder/cmd_data.h"
#include "encoding/printer/prn_cmd.h"
#include "encoding/test_hooks.h"

using namespace tilo2::core;

using Bytes = std::vector<uint8_t>;

inline Bytes B(std::initializer_list<int> v) {
  Bytes out;
  for (int x : v) out.push_back(uint8_t(x));
  return out;
}

inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes ListBytes(const CmdChunk_t* c) {
  Bytes out;
  for (; c != nullptr; c = c->next) out.insert(out.end(), c->data, c->data + c->size);
  return out;
}

inline Bytes BodyBytes(const PrnCmdHandle_t* b) { return ListBytes(b->cmdBuffer.body); }

inline int ChunkCount(const CmdChunk_t* c) {
  int n = 0;
  for (; c != nullptr; c = c->next) ++n;
  return n;
}

// Builds and returns the job's bytes (empty for an empty job).
inline Bytes BuildJob(PrnCmdHandle_t* b, int* rcOut = nullptr) {
  CmdData_t* data = nullptr;
  int rc = PrnCmdBuild(b, &data);
  if (rcOut != nullptr) *rcOut = rc;
  Bytes out;
  if (rc == 0 && data != nullptr) {
    if (data->data != nullptr) out.assign(data->data, data->data + data->length);
    CmdDataFree(data);
  }
  return out;
}

// Opens a builder and closes it at scope end.
// Fails the allocation numbered failAt (0-based) counted from Arm(), or from
// construction with a number; allocation is plain again when it goes.
struct FailingAlloc {
  FailingAlloc() = default;
  explicit FailingAlloc(int failAt) { Arm(failAt); }
  FailingAlloc(const FailingAlloc&) = delete;
  FailingAlloc& operator=(const FailingAlloc&) = delete;
  static inline int countdown = -1;
  static void* Alloc(size_t size) {
    if (countdown == 0) {
      countdown = -1;
      return nullptr;
    }
    if (countdown > 0) --countdown;
    return std::malloc(size);
  }
  static void Arm(int failAt) {
    countdown = failAt;
    EncodingSetAllocator(Alloc);
  }
  static bool Fired() { return countdown == -1; }
  ~FailingAlloc() { EncodingSetAllocator(nullptr); }
};

struct Builder {
  PrnCmdHandle_t* b = nullptr;
  int rc = -99;
  Builder(const char* model, int lang) { rc = PrnCmdOpen(model, lang, &b); }
  ~Builder() {
    if (b != nullptr) PrnCmdClose(b);
  }
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;
  PrnCmdHandle_t* operator->() const { return b; }
  PrnCmdHandle_t* get() const { return b; }
};

// One generator called with one argument on a fresh builder of a model.
struct OneArgCase {
  const char* what;
  int (*gen)(PrnCmdHandle_t*, int);
  int arg;
  Bytes bytes;
};

// Each case appends exactly its bytes as one chunk, and refuses a null builder.
inline void ExpectOneArgGoldens(const char* model, int lang, std::span<const OneArgCase> cases) {
  for (const OneArgCase& c : cases) {
    SCOPED_TRACE(c.what);
    Builder b(model, lang);
    ASSERT_EQ(b.rc, 0);
    ASSERT_EQ(c.gen(b.get(), c.arg), 0);
    EXPECT_EQ(BodyBytes(b.get()), c.bytes);
    EXPECT_EQ(ChunkCount(b->cmdBuffer.body), 1);
    EXPECT_EQ(c.gen(nullptr, c.arg), 1);
  }
}
