#pragma once
/// Starts wxWidgets once for a test program and installs the assert handler
/// that fails the test. Register it with
///   static auto* const env = ::testing::AddGlobalTestEnvironment(new test_support::WxEnvironment(kind));
/// Gtk: GTK on the display in $DISPLAY (a GUI suite; without a display it
/// fails, or with WithoutDisplay::Skip leaves EventLoop() empty so that
/// the tests can skip). Console: wx without a display, its event loop
/// watching descriptors with epoll.

#include <gtest/gtest.h>

#include <memory>

class wxEventLoopBase;

namespace test_support {

class WxEnvironment : public ::testing::Environment {
 public:
  enum class Kind { Gtk, Console };
  enum class WithoutDisplay { Fail, Skip };

  explicit WxEnvironment(Kind kind = Kind::Gtk, WithoutDisplay withoutDisplay = WithoutDisplay::Fail)
      : kind_(kind), withoutDisplay_(withoutDisplay) {}
  void SetUp() override;
  void TearDown() override;
  /// For environments that learn their kind only when the tests start.
  void SetKind(Kind kind) { kind_ = kind; }

  /// An event loop of the started kind for tests to run; null when wx could
  /// not start (Skip).
  static wxEventLoopBase* EventLoop();

 private:
  Kind kind_;
  WithoutDisplay withoutDisplay_;
  bool started_ = false;
};

}  // namespace test_support
