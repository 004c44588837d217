#pragma once
/// Starts wxWidgets (GTK, on the display in $DISPLAY) once for a GUI test
/// program and installs the failing assert handler. Register it with
///   static auto* const env = ::testing::AddGlobalTestEnvironment(new test_support::WxEnvironment);

#include <gtest/gtest.h>

namespace test_support {

class WxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace test_support
