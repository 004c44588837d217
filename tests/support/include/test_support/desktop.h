#pragma once
/// Driving real windows of other processes on the test display (Xvfb, no
/// window manager), as a player would: found by process id, typed into and
/// clicked, photographed when UPDATER_SCREENSHOT_DIR names a folder.

#include <sys/types.h>

#include <chrono>
#include <string>

namespace test_support {

struct WindowGeometry {
  int x = 0, y = 0, width = 0, height = 0;
};

/// The id of a visible top-level window of PID whose title is TITLE (any
/// title when empty), waiting up to TIMEOUT; empty when there is none.
std::string WindowOf(pid_t pid, const std::string& title = "",
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));
std::string WindowTitle(const std::string& window);
WindowGeometry GeometryOf(const std::string& window);

/// Gives WINDOW the keyboard focus and presses KEY (an X key name: "Return").
void PressKey(const std::string& window, const std::string& key);
/// Clicks (or double-clicks) at X, Y inside WINDOW.
void ClickAt(const std::string& window, int x, int y, bool twice = false);
/// Asks WINDOW to close, as a window manager's close button does.
void RequestClose(const std::string& window);

/// Saves the screen as NAME.png in $UPDATER_SCREENSHOT_DIR, if that is set.
void Screenshot(const std::string& name);

}  // namespace test_support
