// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The real executable on a real X display of its own (Xvfb), with the private sound server, and
// an X client that does what a window manager and an operator do: finds the window, clicks, types,
// pings, covers it, asks it to close, and looks at its pixels. Nothing in the program is there for
// the tests' sake.
#include <gtest/gtest.h>
#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_dir.h"
#include "window/window_support.h"

namespace bitoner::testing {

inline constexpr int kStartTimeoutMs = 20000;
inline constexpr int kExitTimeoutMs = 10000;
inline constexpr unsigned long kPollMs = 20;

template <typename T>
std::unique_ptr<T, decltype(&std::free)> owned(T* reply) {
  return {reply, &std::free};
}

// Polls `done` until it holds, for at most `timeoutMs`.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = kStartTimeoutMs) {
  for (const QDeadlineTimer deadline(timeoutMs); !done(); QThread::msleep(kPollMs)) {
    if (deadline.hasExpired()) {
      return false;
    }
  }
  return true;
}

// Just enough of a window manager and of an operator's mouse and keyboard.
class XClient {
 public:
  using Clock = std::chrono::steady_clock;
  using Pixels = std::vector<std::uint8_t>;

  explicit XClient(const std::string& display)
      : connection_(xcb_connect(display.c_str(), nullptr), &xcb_disconnect), c_(connection_.get()) {
    if (xcb_connection_has_error(c_) != 0) {
      throw std::runtime_error("cannot connect to " + display);
    }
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  }

  xcb_window_t root() const { return screen_->root; }

  // The mapped top-level window titled `title`, or XCB_NONE.
  xcb_window_t find(std::string_view title) {
    const auto tree = owned(xcb_query_tree_reply(c_, xcb_query_tree(c_, root()), nullptr));
    const xcb_window_t* children = tree ? xcb_query_tree_children(tree.get()) : nullptr;
    for (int i = 0; tree && i < xcb_query_tree_children_length(tree.get()); ++i) {
      const auto name = owned(xcb_get_property_reply(
          c_, xcb_get_property(c_, 0, children[i], XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, 64),
          nullptr));
      const auto attributes = owned(
          xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, children[i]), nullptr));
      if (name && attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
          std::string_view(static_cast<const char*>(xcb_get_property_value(name.get())),
                           static_cast<std::size_t>(xcb_get_property_value_length(name.get()))) ==
              title) {
        return children[i];
      }
    }
    return XCB_NONE;
  }

  // Gives the window the keyboard, then presses and releases Space in it.
  void pressSpace(xcb_window_t window) {
    focus(window);
    sendKey(window, keycode(kSpaceKeysym));
  }

  // What a window manager sends when the title bar's close button is pressed.
  void requestClose(xcb_window_t window) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    send(window, event);
  }

  // Moves the pointer to (x, y) in the window and clicks the left button there, through the
  // server's input path, as a mouse would.
  void click(xcb_window_t window, int x, int y) {
    moveTo(window, x, y);
    for (const int type : {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE}) {
      xcb_test_fake_input(c_, static_cast<std::uint8_t>(type), 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                          0);
    }
    xcb_flush(c_);
  }

  // Selects everything in the focused text box and types `text` over it (letters, digits, '.').
  void retype(std::string_view text) {
    const xcb_keycode_t control = keycode(kControlKeysym);
    fakeKey(XCB_KEY_PRESS, control);
    fakeKey(XCB_KEY_PRESS, keycode('a'));
    fakeKey(XCB_KEY_RELEASE, keycode('a'));
    fakeKey(XCB_KEY_RELEASE, control);
    for (const char c : text) {
      fakeKey(XCB_KEY_PRESS, keycode(static_cast<xcb_keysym_t>(c)));
      fakeKey(XCB_KEY_RELEASE, keycode(static_cast<xcb_keysym_t>(c)));
    }
    xcb_flush(c_);
  }

  // Gives the window the keyboard, as a window manager does when it is clicked.
  void focus(xcb_window_t window) {
    xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    xcb_flush(c_);
    QThread::msleep(200);
  }

  // The window's pixels in the rectangle, as the server holds them now.
  Pixels grab(xcb_window_t window, int x, int y, int width, int height) {
    const auto image = owned(xcb_get_image_reply(
        c_,
        xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, window, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height), ~0U),
        nullptr));
    if (!image) {
      return {};
    }
    const std::uint8_t* data = xcb_get_image_data(image.get());
    return Pixels(data, data + xcb_get_image_data_length(image.get()));
  }

  // Sends a _NET_WM_PING as a window manager does and waits for the answer on the root window;
  // how long it took, or nothing if no answer came within `timeout`.
  std::optional<Clock::duration> ping(xcb_window_t window, std::chrono::milliseconds timeout) {
    // The answer goes to the root window's redirecting client, the window manager, which this
    // client is for as long as it waits.
    const std::uint32_t managing =
        XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
    xcb_change_window_attributes(c_, root(), XCB_CW_EVENT_MASK, &managing);
    const std::optional<Clock::duration> roundTrip = pingAnswer(window, timeout);
    const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(c_, root(), XCB_CW_EVENT_MASK, &none);
    xcb_flush(c_);
    return roundTrip;
  }

 private:
  std::optional<Clock::duration> pingAnswer(xcb_window_t window,
                                            std::chrono::milliseconds timeout) {
    const xcb_atom_t pingAtom = atom("_NET_WM_PING");
    const std::uint32_t stamp = ++pingStamp_;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = pingAtom;
    event.data.data32[1] = stamp;
    event.data.data32[2] = window;
    const Clock::time_point sent = Clock::now();
    send(window, event);
    while (Clock::now() - sent < timeout) {
      while (const auto received = owned(xcb_poll_for_event(c_))) {
        if ((received->response_type & 0x7FU) != XCB_CLIENT_MESSAGE) {
          continue;
        }
        const auto* answer = reinterpret_cast<const xcb_client_message_event_t*>(received.get());
        if (answer->window == root() && answer->data.data32[0] == pingAtom &&
            answer->data.data32[1] == stamp) {
          return Clock::now() - sent;
        }
      }
      pollfd readable{xcb_get_file_descriptor(c_), POLLIN, 0};
      ::poll(&readable, 1, 1);
    }
    return std::nullopt;
  }

 public:
  // Moves the pointer to (x, y) in the window.
  void moveTo(xcb_window_t window, int x, int y) {
    const auto at = rootPosition(window, x, y);
    ASSERT_TRUE(at);
    xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root(), at->dst_x, at->dst_y,
                        0);
    xcb_flush(c_);
  }

  // Maps a black window of our own over the whole window, then takes it away again after `shown`.
  void cover(xcb_window_t window, std::chrono::milliseconds shown) {
    const auto at = rootPosition(window, 0, 0);
    const auto size = owned(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, window), nullptr));
    ASSERT_TRUE(at && size);
    const xcb_window_t cover = xcb_generate_id(c_);
    const std::uint32_t values[] = {screen_->black_pixel, 1};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, cover, root(), at->dst_x, at->dst_y, size->width,
                      size->height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c_, cover);
    xcb_flush(c_);
    QThread::msleep(static_cast<unsigned long>(shown.count()));
    xcb_destroy_window(c_, cover);
    xcb_flush(c_);
  }

 private:
  static constexpr xcb_keysym_t kSpaceKeysym = 0x20;

  std::unique_ptr<xcb_translate_coordinates_reply_t, decltype(&std::free)> rootPosition(
      xcb_window_t window, int x, int y) {
    return owned(xcb_translate_coordinates_reply(
        c_,
        xcb_translate_coordinates(c_, window, root(), static_cast<std::int16_t>(x),
                                  static_cast<std::int16_t>(y)),
        nullptr));
  }

  static constexpr xcb_keysym_t kControlKeysym = 0xffe3;

  xcb_keycode_t keycode(xcb_keysym_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(c_);
    const auto map = owned(xcb_get_keyboard_mapping_reply(
        c_,
        xcb_get_keyboard_mapping(
            c_, setup->min_keycode,
            static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
        nullptr));
    if (!map) {
      throw std::runtime_error("no keyboard mapping");
    }
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    const int count = xcb_get_keyboard_mapping_keysyms_length(map.get());
    const auto at = std::find(syms, syms + count, keysym) - syms;
    if (at >= count) {
      throw std::runtime_error("no key types keysym " + std::to_string(keysym));
    }
    return static_cast<xcb_keycode_t>(setup->min_keycode + at / map->keysyms_per_keycode);
  }

  void fakeKey(std::uint8_t type, xcb_keycode_t key) {
    xcb_test_fake_input(c_, type, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  }

  void sendKey(xcb_window_t window, xcb_keycode_t key) {
    for (const int type : {XCB_KEY_PRESS, XCB_KEY_RELEASE}) {
      xcb_key_press_event_t event{};
      event.response_type = static_cast<std::uint8_t>(type);
      event.detail = key;
      event.root = root();
      event.event = window;
      event.same_screen = 1;
      send(window, event);
    }
  }

  xcb_atom_t atom(std::string_view name) {
    const auto reply = owned(xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  }

  template <typename Event>
  void send(xcb_window_t window, const Event& event) {
    xcb_send_event(c_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(c_);
  }

  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection_;
  xcb_connection_t* c_;
  const xcb_screen_t* screen_ = nullptr;
  std::uint32_t pingStamp_ = 0;
};

// Xvfb on a free display and the executable shown on it, working in `workdir` and playing to the
// sound server PULSE_SERVER names. Both are ended when it goes.
class RealProgram {
 public:
  explicit RealProgram(const std::filesystem::path& workdir) {
    const QString xvfbPath = QStandardPaths::findExecutable("Xvfb");
    if (xvfbPath.isEmpty()) {
      throw std::runtime_error("Xvfb is not installed (make deps installs it)");
    }
    // Xvfb picks a free display and writes its number once it accepts connections.
    xvfb.start(xvfbPath, {"-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"});
    if (!waitFor([this] {
          xvfb.waitForReadyRead(static_cast<int>(kPollMs));
          return xvfb.canReadLine();
        })) {
      throw std::runtime_error("Xvfb did not start");
    }
    display = ":" + QString::fromLatin1(xvfb.readLine()).trimmed();
    x.emplace(display.toStdString());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();  // PULSE_SERVER included
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    bitoner.setProcessEnvironment(env);
    bitoner.setWorkingDirectory(QString::fromStdString(workdir.string()));
    bitoner.setProcessChannelMode(QProcess::ForwardedChannels);
    bitoner.start(BITONER_EXECUTABLE, QStringList{});
    if (!bitoner.waitForStarted() ||
        !waitFor([this] { return (window = x->find("Bitoner")) != XCB_NONE; })) {
      throw std::runtime_error("the window did not appear");
    }
  }

  ~RealProgram() {
    bitoner.kill();
    bitoner.waitForFinished();
    xvfb.terminate();  // lets Xvfb remove its socket and lock file
    xvfb.waitForFinished();
  }

  RealProgram(const RealProgram&) = delete;
  RealProgram& operator=(const RealProgram&) = delete;

  QProcess xvfb;
  QString display;
  std::optional<XClient> x;
  QProcess bitoner;
  xcb_window_t window = XCB_NONE;
};

// The real program on its own display, with the private sound server, for one test.
template <typename WorkDir = TempDir>
class RealWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty()) {
      GTEST_SKIP() << "Xvfb is not installed (make deps installs it)";
    }
    program.emplace(workdir.path());
    x = &*program->x;
    window = program->window;
  }

  // Expects the program to end by itself within the time allowed, with status 0.
  void expectEndsWithStatusZero() {
    QProcess& bitoner = program->bitoner;
    ASSERT_TRUE(bitoner.waitForFinished(kExitTimeoutMs)) << "the close request was not handled";
    EXPECT_EQ(bitoner.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(bitoner.exitCode(), 0);
  }

  QProcess::ProcessState state() const { return program->bitoner.state(); }

  WorkDir workdir;
  PrivatePulse& pulse = sharedPulse();
  std::optional<RealProgram> program;
  XClient* x = nullptr;
  xcb_window_t window = XCB_NONE;
};

}  // namespace bitoner::testing
