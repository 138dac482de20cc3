// For tests that read or write local times: a fixture whose tests name
// their time zone, the process's own being put back after each.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

class ZoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_tz_ = tz;
  }
  void TearDown() override {
    if (had_tz_)
      setenv("TZ", saved_tz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static void zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string saved_tz_;
};
