// The real executable on a real X display: closing its window through the window system's close
// request ends the process with status 0, when idle and in the middle of a keying run. The test
// starts its own X server (Xvfb) and sound server; it speaks X itself, as a window manager's close
// button would, so nothing in the program is there for the test's sake.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QThread>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "window/window_support.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kPoll = 20ms;
constexpr std::chrono::seconds kStartTimeout = 20s;
constexpr std::chrono::seconds kExitTimeout = 10s;

// An Xvfb server on a display number it picks itself, killed when the test ends.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const QString& xvfb) {
    int fds[2];
    if (pipe(fds) != 0) {
      throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      const std::string displayFd = std::to_string(fds[1]);
      const QByteArray program = xvfb.toLocal8Bit();
      execl(program.constData(), program.constData(), "-displayfd", displayFd.c_str(), "-screen",
            "0", "640x480x24", "-nolisten", "tcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
      close(fds[0]);
      throw std::runtime_error("fork failed");
    }
    // Xvfb writes the display number once it accepts connections.
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') {
      number += c;
    }
    close(fds[0]);
    if (number.empty()) {
      throw std::runtime_error("Xvfb did not start");
    }
    name_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// Just enough of a window manager: find a top-level window by its title, give it the keyboard,
// press a key in it and ask it to close.
class XClient {
 public:
  explicit XClient(const std::string& display)
      : connection_(xcb_connect(display.c_str(), nullptr), &xcb_disconnect) {
    if (xcb_connection_has_error(connection_.get()) != 0) {
      throw std::runtime_error("cannot connect to " + display);
    }
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_.get())).data->root;
  }

  // The mapped top-level window titled `title`, waiting for it to appear.
  std::optional<xcb_window_t> waitForWindow(const std::string& title) {
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (auto window = findWindow(root_, title)) {
        return window;
      }
      QThread::msleep(static_cast<unsigned long>(kPoll.count()));
    }
    return std::nullopt;
  }

  void focus(xcb_window_t window) {
    xcb_set_input_focus(connection_.get(), XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    xcb_flush(connection_.get());
  }

  // Presses and releases the key that types `keysym` in the window that has the focus.
  void pressKey(xcb_window_t window, std::uint32_t keysym) {
    const xcb_keycode_t code = keycodeFor(keysym);
    for (std::uint8_t type : {std::uint8_t{XCB_KEY_PRESS}, std::uint8_t{XCB_KEY_RELEASE}}) {
      xcb_key_press_event_t event{};
      event.response_type = type;
      event.detail = code;
      event.time = XCB_CURRENT_TIME;
      event.root = root_;
      event.event = window;
      event.child = XCB_NONE;
      event.same_screen = 1;
      xcb_send_event(connection_.get(), 0, window, XCB_EVENT_MASK_NO_EVENT,
                     reinterpret_cast<const char*>(&event));
    }
    xcb_flush(connection_.get());
  }

  // What a window manager sends when the title bar's close button is pressed.
  void requestClose(xcb_window_t window) {
    const xcb_atom_t protocols = atom("WM_PROTOCOLS");
    const xcb_atom_t deleteWindow = atom("WM_DELETE_WINDOW");
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = protocols;
    event.data.data32[0] = deleteWindow;
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection_.get(), 0, window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection_.get());
  }

 private:
  xcb_atom_t atom(const char* name) {
    const auto cookie =
        xcb_intern_atom(connection_.get(), 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection_.get(), cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  }

  std::string title(xcb_window_t window) {
    const auto cookie = xcb_get_property(connection_.get(), 0, window, XCB_ATOM_WM_NAME,
                                         XCB_GET_PROPERTY_TYPE_ANY, 0, 256);
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection_.get(), cookie, nullptr), &std::free);
    if (!reply || reply->format != 8) {
      return {};
    }
    const auto* text = static_cast<const char*>(xcb_get_property_value(reply.get()));
    return std::string(text, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
  }

  bool viewable(xcb_window_t window) {
    std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> reply(
        xcb_get_window_attributes_reply(
            connection_.get(), xcb_get_window_attributes(connection_.get(), window), nullptr),
        &std::free);
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
  }

  std::optional<xcb_window_t> findWindow(xcb_window_t parent, const std::string& wanted) {
    std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
        xcb_query_tree_reply(connection_.get(), xcb_query_tree(connection_.get(), parent), nullptr),
        &std::free);
    if (!tree) {
      return std::nullopt;
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    for (int i = 0; i < count; ++i) {
      if (title(children[i]) == wanted && viewable(children[i])) {
        return children[i];
      }
    }
    return std::nullopt;
  }

  xcb_keycode_t keycodeFor(std::uint32_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(connection_.get());
    const auto first = setup->min_keycode;
    const auto count = static_cast<std::uint8_t>(setup->max_keycode - first + 1);
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> map(
        xcb_get_keyboard_mapping_reply(
            connection_.get(), xcb_get_keyboard_mapping(connection_.get(), first, count), nullptr),
        &std::free);
    if (!map) {
      throw std::runtime_error("no keyboard mapping");
    }
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    const int perCode = map->keysyms_per_keycode;
    for (int code = 0; code < count; ++code) {
      for (int column = 0; column < perCode; ++column) {
        if (syms[code * perCode + column] == keysym) {
          return static_cast<xcb_keycode_t>(first + code);
        }
      }
    }
    throw std::runtime_error("no key types the wanted symbol");
  }

  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection_;
  xcb_window_t root_ = XCB_NONE;
};

constexpr std::uint32_t kSpaceKeysym = 0x20;

class CloseRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty()) {
      GTEST_SKIP() << "Xvfb is not installed (make deps installs it)";
    }
    ASSERT_TRUE(QFile::exists(BITONER_EXECUTABLE));
    display = std::make_unique<VirtualDisplay>(xvfb);
    x = std::make_unique<XClient>(display->name());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();  // PULSE_SERVER included
    env.insert("DISPLAY", QString::fromStdString(display->name()));
    env.insert("QT_QPA_PLATFORM", "xcb");
    bitoner.setProcessEnvironment(env);
    bitoner.setWorkingDirectory(QString::fromStdString(workdir.path().string()));
    bitoner.setProcessChannelMode(QProcess::ForwardedChannels);
    bitoner.start(BITONER_EXECUTABLE, QStringList{});
    ASSERT_TRUE(bitoner.waitForStarted());
    const auto found = x->waitForWindow("Bitoner");
    ASSERT_TRUE(found.has_value()) << "the window did not appear";
    window = *found;
  }

  void TearDown() override {
    if (bitoner.state() != QProcess::NotRunning) {
      bitoner.kill();
      bitoner.waitForFinished();
    }
  }

  // Expects the program to end by itself within the time allowed, with status 0.
  void expectEndsWithStatusZero() {
    ASSERT_TRUE(bitoner.waitForFinished(static_cast<int>(kExitTimeout.count() * 1000)))
        << "the close request was not handled";
    EXPECT_EQ(bitoner.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(bitoner.exitCode(), 0);
  }

  testing::TempDir workdir;
  testing::PrivatePulse& pulse = testing::sharedPulse();
  std::unique_ptr<VirtualDisplay> display;
  std::unique_ptr<XClient> x;
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
  x->focus(window);
  QThread::msleep(200);
  x->pressKey(window, kSpaceKeysym);

  const QDeadlineTimer started(
      std::chrono::duration_cast<std::chrono::milliseconds>(kStartTimeout));
  while (!std::filesystem::exists(workdir / "Dash.wav") && !started.hasExpired()) {
    QThread::msleep(static_cast<unsigned long>(kPoll.count()));
  }
  ASSERT_TRUE(std::filesystem::exists(workdir / "Dash.wav")) << "GO did not start a run";
  QThread::msleep(700);  // into the first character
  ASSERT_EQ(bitoner.state(), QProcess::Running);

  x->requestClose(window);
  expectEndsWithStatusZero();
}

}  // namespace
}  // namespace bitoner
