#pragma once
// The logger's fixture with the local folder pointed at its scratch folder, so
// what the runtime layer logs lands in a log file the test reads back.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "../foundation/log_test_fixture.h"
#include "orvik/tilo2/platform.h"
#include "orvik/tilo2/string.h"

class ApiLogTest : public LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    ::Orvik::Tilo::Tilo2::Platform::SetLocalFolder(::Orvik::Tilo::Tilo2::String(base_));
  }
  void TearDown() override {
    ::Orvik::Tilo::Tilo2::Platform::SetLocalFolder(::Orvik::Tilo::Tilo2::String());
    LogTest::TearDown();
  }

  // The "APIIO" line bodies, in order.
  std::vector<std::string> ApiBodies() const {
    std::vector<std::string> out;
    for (const std::string& body : bodies()) {
      if (body.rfind("APIIO,", 0) == 0) out.push_back(body);
    }
    return out;
  }
};

// A folder whose path takes exactly `length` bytes, under `base`.
inline std::string FolderOfLength(const std::string& base, size_t length) {
  std::string path = base;
  while (path.size() < length) {
    const size_t left = length - path.size() - 1;  // after the next "/"
    const size_t part = left > 200 ? 100 : left;
    path += '/';
    path.append(part, 'd');
  }
  return path;
}

// A one-shot signal whose wait gives up at a generous deadline.
class Signal {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return set_; });
  }
  bool IsSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};
