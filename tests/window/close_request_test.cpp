// SPDX-License-Identifier: GPL-3.0-or-later
// The real executable on a real X display: closing its window through the window system's close
// request ends the process with status 0, when idle and in the middle of a keying run. The test
// starts its own X server (Xvfb) and sound server; it speaks X itself, as a window manager's close
// button would, so nothing in the program is there for the test's sake.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QThread>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "support/temp_dir.h"
#include "window/window_support.h"

namespace bitoner {
namespace {

constexpr int kStartTimeoutMs = 20000;
constexpr int kExitTimeoutMs = 10000;
constexpr unsigned long kPollMs = 20;
constexpr xcb_keysym_t kSpaceKeysym = 0x20;

template <typename T>
std::unique_ptr<T, decltype(&std::free)> owned(T* reply) {
  return {reply, &std::free};
}

// Polls `done` until it holds, for at most the start timeout.
bool waitFor(const std::function<bool()>& done) {
  for (const QDeadlineTimer deadline(kStartTimeoutMs); !done(); QThread::msleep(kPollMs)) {
    if (deadline.hasExpired()) {
      return false;
    }
  }
  return true;
}

// Just enough of a window manager: find a top-level window by its title, press Space in it and
// ask it to close.
class XClient {
 public:
  explicit XClient(const std::string& display)
      : connection_(xcb_connect(display.c_str(), nullptr), &xcb_disconnect), c_(connection_.get()) {
    if (xcb_connection_has_error(c_) != 0) {
      throw std::runtime_error("cannot connect to " + display);
    }
  }

  // The mapped top-level window titled `title`, or XCB_NONE.
  xcb_window_t find(std::string_view title) {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    const auto tree = owned(xcb_query_tree_reply(c_, xcb_query_tree(c_, root), nullptr));
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
    xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    xcb_flush(c_);
    QThread::msleep(200);
    const xcb_setup_t* setup = xcb_get_setup(c_);
    const auto map = owned(xcb_get_keyboard_mapping_reply(
        c_,
        xcb_get_keyboard_mapping(
            c_, setup->min_keycode,
            static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
        nullptr));
    ASSERT_TRUE(map);
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    const int count = xcb_get_keyboard_mapping_keysyms_length(map.get());
    const auto at = std::find(syms, syms + count, kSpaceKeysym) - syms;
    ASSERT_LT(at, count) << "no key types a space";
    for (const int type : {XCB_KEY_PRESS, XCB_KEY_RELEASE}) {
      xcb_key_press_event_t event{};
      event.response_type = static_cast<std::uint8_t>(type);
      event.detail = static_cast<xcb_keycode_t>(setup->min_keycode + at / map->keysyms_per_keycode);
      event.root = xcb_setup_roots_iterator(setup).data->root;
      event.event = window;
      event.same_screen = 1;
      send(window, event);
    }
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

 private:
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
};

class CloseRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    const QString xvfbPath = QStandardPaths::findExecutable("Xvfb");
    if (xvfbPath.isEmpty()) {
      GTEST_SKIP() << "Xvfb is not installed (make deps installs it)";
    }
    // Xvfb picks a free display and writes its number once it accepts connections.
    xvfb.start(xvfbPath, {"-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"});
    ASSERT_TRUE(waitFor([this] {
      xvfb.waitForReadyRead(static_cast<int>(kPollMs));
      return xvfb.canReadLine();
    })) << "Xvfb did not start";
    const QString display = ":" + QString::fromLatin1(xvfb.readLine()).trimmed();
    x.emplace(display.toStdString());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();  // PULSE_SERVER included
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    bitoner.setProcessEnvironment(env);
    bitoner.setWorkingDirectory(QString::fromStdString(workdir.path().string()));
    bitoner.setProcessChannelMode(QProcess::ForwardedChannels);
    bitoner.start(BITONER_EXECUTABLE, QStringList{});
    ASSERT_TRUE(bitoner.waitForStarted());
    ASSERT_TRUE(waitFor([this] { return (window = x->find("Bitoner")) != XCB_NONE; }))
        << "the window did not appear";
  }

  void TearDown() override {
    bitoner.kill();
    bitoner.waitForFinished();
    xvfb.terminate();  // lets Xvfb remove its socket and lock file
    xvfb.waitForFinished();
  }

  // Expects the program to end by itself within the time allowed, with status 0.
  void expectEndsWithStatusZero() {
    ASSERT_TRUE(bitoner.waitForFinished(kExitTimeoutMs)) << "the close request was not handled";
    EXPECT_EQ(bitoner.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(bitoner.exitCode(), 0);
  }

  testing::TempDir workdir;
  testing::PrivatePulse& pulse = testing::sharedPulse();
  QProcess xvfb;
  std::optional<XClient> x;
  QProcess bitoner;
  xcb_window_t window = XCB_NONE;
};

TEST_F(CloseRequest, WhileIdleEndsTheProgramWithStatusZero) {
  x->requestClose(window);
  expectEndsWithStatusZero();
  EXPECT_FALSE(std::filesystem::exists(workdir / "Idle.wav")) << "nothing was keyed";
}

TEST_F(CloseRequest, DuringARunEndsTheProgramWithStatusZeroWithoutFinishingTheMessage) {
  // GO has the focus at start; a space presses it. At the default symbol length of half a second
  // the message "Edit for message" takes well over half a minute to key.
  x->pressSpace(window);
  ASSERT_TRUE(waitFor([this] { return std::filesystem::exists(workdir / "Dash.wav"); }))
      << "GO did not start a run";
  QThread::msleep(700);  // into the first character
  ASSERT_EQ(bitoner.state(), QProcess::Running);

  x->requestClose(window);
  expectEndsWithStatusZero();
}

}  // namespace
}  // namespace bitoner
