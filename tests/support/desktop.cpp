#include "test_support/desktop.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <sstream>

#include "test_support/process.h"

namespace test_support {

std::string WindowOf(pid_t pid, const std::string& title, std::chrono::milliseconds timeout) {
  std::string found;
  WaitUntil(
      [&] {
        std::istringstream ids(Shell("xdotool search --onlyvisible --pid " + std::to_string(pid)));
        for (std::string id; ids >> id;) {
          if (title.empty() || WindowTitle(id) == title) {
            found = id;
            return true;
          }
        }
        return false;
      },
      timeout);
  if (!found.empty()) SleepFor(std::chrono::milliseconds(500));  // let it paint
  return found;
}

std::string WindowTitle(const std::string& window) { return Shell("xdotool getwindowname " + window); }

WindowGeometry GeometryOf(const std::string& window) {
  WindowGeometry g;
  std::istringstream lines(Shell("xdotool getwindowgeometry --shell " + window));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const int value = std::atoi(line.c_str() + equals + 1);
    if (key == "X") g.x = value;
    if (key == "Y") g.y = value;
    if (key == "WIDTH") g.width = value;
    if (key == "HEIGHT") g.height = value;
  }
  return g;
}

void PressKey(const std::string& window, const std::string& key) {
  Shell("xdotool windowfocus --sync " + window);
  SleepFor(std::chrono::milliseconds(150));
  Shell("xdotool key --clearmodifiers " + key);
}

void ClickAt(const std::string& window, int x, int y, bool twice) {
  const WindowGeometry g = GeometryOf(window);
  Shell("xdotool mousemove --sync " + std::to_string(g.x + x) + " " + std::to_string(g.y + y));
  Shell(std::string("xdotool click ") + (twice ? "--repeat 2 --delay 80 " : "") + "1");
}

void RequestClose(const std::string& window) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return;
  const Window id = std::strtoul(window.c_str(), nullptr, 10);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = id;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, id, False, NoEventMask, &event);
  XCloseDisplay(display);
}

void Screenshot(const std::string& name) {
  if (const char* dir = std::getenv("UPDATER_SCREENSHOT_DIR")) {
    Shell("import -window root '" + std::string(dir) + "/" + name + ".png'");
  }
}

}  // namespace test_support
