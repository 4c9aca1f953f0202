#pragma once
// A scratch base folder per test and a logger reset to its start state.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/log_settings.h"
#include "foundation/log_state.h"
#include "foundation/logger.h"
#include "foundation/test_hooks.h"

using namespace tilo2::core;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_reset_state();
    std::string templ = (std::filesystem::temp_directory_path() / "tilo2-log-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    base_ = templ;
    log_file_ = base_ + "/Tilo2Log/Tilo2Log.txt";
  }
  void TearDown() override {
    log_reset_state();
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }

  // File output for this process only, at the given level.
  void use_file(int level = 0, int size_mb = 1) {
    ASSERT_EQ(log_set_settings(base_.c_str(), 0, 1, nullptr, 0, size_mb, level), 0);
  }

  static std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void write_file(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }
  static std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Lines of the log file after its six header lines.
  std::vector<std::string> log_lines() const {
    auto lines = split_lines(read_file(log_file_));
    if (lines.size() < 6) return {};
    return {lines.begin() + 6, lines.end()};
  }
  // Bodies (the text after the 42-character prefix) of the log file's lines.
  std::vector<std::string> bodies() const {
    std::vector<std::string> out;
    for (const auto& line : log_lines())
      out.push_back(line.size() >= 42 ? line.substr(42) : "<short>" + line);
    return out;
  }
  std::string last_body() const {
    const auto b = bodies();
    return b.empty() ? std::string("<none>") : b.back();
  }

  std::string base_;
  std::string log_file_;
};
