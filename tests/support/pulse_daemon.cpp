// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/pulse_daemon.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/simple.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "engine/patterns.h"
#include "engine/tones.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace bitoner::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint8_t kChannels = 2;

pa_sample_spec sampleFormat(std::uint32_t rateHz) {
  return pa_sample_spec{PA_SAMPLE_S16NE, rateHz, kChannels};
}
constexpr auto kStartTimeout = 10s;
constexpr auto kAnswerTimeout = 2s;
constexpr auto kStopTimeout = 3s;
constexpr auto kPollInterval = 20ms;
// Monitor reads of this many frames (about 12 ms) keep the arrival times fine-grained.
constexpr std::size_t kRecordChunkFrames = 128;
// After the last play has drained, the monitor still has its own short buffer to deliver.
constexpr auto kRecordTail = 250ms;
// How far after a frame the reads that tell when it arrived may end: long enough for a read that
// was not kept waiting, short enough that no frame lost or doubled by the monitor lies between.
constexpr auto kArrivalWindow = 500ms;
constexpr std::size_t kLatencyEvery = 8;
constexpr pa_usec_t kKeeperLatencyUs = 20000;
constexpr std::uint32_t kPipeWireQuantum = 1024;
constexpr const char* kSinkName = "bitoner_test_sink";
// A buffer attribute the server chooses.
constexpr auto kServerDefault = static_cast<std::uint32_t>(-1);

std::string textOf(const std::filesystem::path& file) {
  std::stringstream text;
  text << std::ifstream(file).rdbuf();
  return text.str();
}

// A control connection to the server, driven step by step so that no wait is unbounded.
class Control {
 public:
  explicit Control(const std::string& address)
      : loop_(pa_mainloop_new()),
        context_(pa_context_new(pa_mainloop_get_api(loop_), "Bitoner test control")) {
    if (pa_context_connect(context_, address.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
      runUntil([this] {
        const pa_context_state_t state = pa_context_get_state(context_);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
      });
    }
  }
  ~Control() {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_mainloop_free(loop_);
  }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  bool ready() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }

  // The server's default sink, as the session manager has chosen it ("" if not known).
  std::string defaultSink() {
    std::string name;
    bool answered = false;
    struct Reply {
      std::string* name;
      bool* answered;
    } reply{&name, &answered};
    pa_operation* operation = pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* data) {
          auto* r = static_cast<Reply*>(data);
          if (info != nullptr && info->default_sink_name != nullptr) {
            *r->name = info->default_sink_name;
          }
          *r->answered = true;
        },
        &reply);
    if (operation == nullptr) {
      return name;
    }
    runUntil([&answered] { return answered; });
    if (!answered) {
      pa_operation_cancel(operation);
    }
    pa_operation_unref(operation);
    return name;
  }

  // Suspends and resumes the sink. A null sink that has been idle renders its silence far ahead
  // and only looks at new streams when that runs out; once resumed it renders in steps of the
  // latency its streams ask for.
  void restartSink() {
    for (const int suspend : {1, 0}) {
      pa_operation* operation =
          pa_context_suspend_sink_by_name(context_, kSinkName, suspend, nullptr, nullptr);
      if (operation == nullptr) {
        throw std::runtime_error(std::string("cannot restart the sink: ") +
                                 pa_strerror(pa_context_errno(context_)));
      }
      runUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
      pa_operation_unref(operation);
    }
  }

 private:
  template <typename Done>
  void runUntil(Done done) {
    const Clock::time_point deadline = Clock::now() + kAnswerTimeout;
    while (!done() && Clock::now() < deadline && pa_mainloop_iterate(loop_, 0, nullptr) >= 0) {
      std::this_thread::sleep_for(1ms);
    }
  }

  pa_mainloop* loop_;
  pa_context* context_;
};

// PipeWire at the test rate, with the PulseAudio server and the null sink in the one process, so
// that stopping or killing it takes the whole server. The graph runs in steps of kPipeWireQuantum
// frames: smaller steps were seen to drop a step's worth of audio now and then on a busy machine.
std::string pipeWireConfig(const std::filesystem::path& dir, std::uint32_t rateHz) {
  return R"(context.properties = {
    core.daemon = true
    core.name = pipewire-0
    default.clock.rate = )" +
         std::to_string(rateHz) + R"(
    default.clock.allowed-rates = [ )" +
         std::to_string(rateHz) + R"( ]
    default.clock.quantum = )" +
         std::to_string(kPipeWireQuantum) + R"(
    default.clock.min-quantum = )" +
         std::to_string(kPipeWireQuantum) + R"(
    default.clock.max-quantum = )" +
         std::to_string(kPipeWireQuantum) + R"(
    support.dbus = false
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
    { name = libpipewire-module-protocol-pulse
      args = { server.address = [ "unix:)" +
         (dir / "native").string() + R"(" ] } }
]
context.objects = [
    { factory = metadata args = { metadata.name = default } }
    { factory = adapter
      args = { factory.name = support.null-audio-sink node.name = )" +
         kSinkName + R"(
               media.class = Audio/Sink audio.position = [ FL FR ]
               audio.rate = )" +
         std::to_string(rateHz) + R"( node.driver = true
               priority.driver = 30000 } }
]
)";
}

// WirePlumber links the streams to the sink; it is kept from real devices and from D-Bus.
constexpr const char* kWirePlumberConfig = R"(context.properties = {
  log.level = 2
  wireplumber.script-engine = lua-scripting
  support.dbus = false
}
context.spa-libs = {
  audio.convert.* = audioconvert/libspa-audioconvert
  support.*       = support/libspa-support
}
context.modules = [
  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-client-device }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-metadata }
  { name = libpipewire-module-session-manager }
]
wireplumber.components = [
  { name = libwireplumber-module-lua-scripting, type = module }
  { name = main.lua, type = config/lua }
  { name = policy.lua, type = config/lua }
]
)";
constexpr const char* kWirePlumberPrivate = R"(alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
default_access.properties["enable-flatpak-portal"] = false
)";

void writeText(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

// Starts `args` with only `env` as its environment, its output into `log`; the child dies with
// this process.
pid_t spawn(std::vector<std::string> args, std::vector<std::string> env,
            const std::filesystem::path& log) {
  // Everything the child needs is built before fork: after it, only async-signal-safe calls.
  const auto pointers = [](std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) {
      result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
  };
  const std::vector<char*> argv = pointers(args);
  const std::vector<char*> envp = pointers(env);
  const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (logFd < 0) {
    throw std::runtime_error("cannot open " + log.string());
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The server must not outlive a test that crashes or is killed.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
      ::_exit(1);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(logFd, STDOUT_FILENO);
    ::dup2(logFd, STDERR_FILENO);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  const int forkError = errno;
  ::close(logFd);
  if (pid < 0) {
    throw std::runtime_error(std::string("fork: ") + std::strerror(forkError));
  }
  return pid;
}

void stopProcess(pid_t& pid, int signal) {
  if (pid <= 0) {
    return;
  }
  ::kill(pid, SIGCONT);  // a stopped process would not act on the signal
  ::kill(pid, signal);
  const Clock::time_point deadline = Clock::now() + kStopTimeout;
  while (::waitpid(pid, nullptr, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(1ms);
  }
  pid = -1;
}

}  // namespace

ServerKind serverKindFromEnvironment() {
  const char* name = std::getenv("BITONER_TEST_SOUND_SERVER");
  if (name == nullptr || std::string_view(name).empty() || std::string_view(name) == "pulseaudio") {
    return ServerKind::PulseAudio;
  }
  if (std::string_view(name) == "pipewire") {
    return ServerKind::PipeWire;
  }
  throw std::runtime_error(
      std::string("BITONER_TEST_SOUND_SERVER must be pulseaudio or pipewire, not ") + name);
}

struct PrivatePulse::State {
  State(ServerKind serverKind, std::uint32_t rate) : kind(serverKind), rateHz(rate) {}

  ServerKind kind;
  std::uint32_t rateHz;
  TempDir dir;
  std::string address = "unix:" + (dir / "native").string();
  pid_t pid = -1;         // the process that serves the PulseAudio protocol
  pid_t sessionPid = -1;  // WirePlumber, with PipeWire
  pa_simple* keeper = nullptr;
  std::optional<ScopedEnv> server;
  std::optional<ScopedEnv> cookie;

  ~State() {
    if (keeper != nullptr) {
      pa_simple_free(keeper);
    }
    stopProcess(sessionPid, SIGTERM);
    stopProcess(pid, SIGTERM);
  }

  // Its own home and runtime directories, and nothing of this session's sound server or bus.
  std::vector<std::string> privateEnvironment() const {
    std::vector<std::string> env;
    for (const char* var : {"HOME=", "XDG_RUNTIME_DIR=", "XDG_CONFIG_HOME=", "XDG_STATE_HOME=",
                            "PIPEWIRE_RUNTIME_DIR="}) {
      env.push_back(var + dir.path().string());
    }
    return env;
  }

  std::string name() const { return kind == ServerKind::PipeWire ? "pipewire" : "pulseaudio"; }

  void start() {
    const std::filesystem::path log = dir / "daemon.log";
    if (kind == ServerKind::PulseAudio) {
      const std::string sink = "module-null-sink sink_name=" + std::string(kSinkName) +
                               " rate=" + std::to_string(rateHz) +
                               " channels=" + std::to_string(kChannels) + " format=s16le";
      const std::string protocol =
          "module-native-protocol-unix socket=" + (dir / "native").string() + " auth-anonymous=1";
      // clang-format off
      pid = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                   "--use-pid-file=no", "--system=false", "--log-target=stderr", "-L", sink,
                   "-L", protocol}, privateEnvironment(), log);
      // clang-format on
    } else {
      writeText(dir / "pipewire.conf", pipeWireConfig(dir.path(), rateHz));
      writeText(dir / "wireplumber" / "wireplumber.conf", kWirePlumberConfig);
      writeText(dir / "wireplumber" / "main.lua.d" / "60-private.lua", kWirePlumberPrivate);
      pid = spawn({"pipewire", "-c", (dir / "pipewire.conf").string()}, privateEnvironment(), log);
    }

    // Clients of this process talk to the private server, and keep their cookie in its directory.
    server.emplace("PULSE_SERVER", address);
    cookie.emplace("PULSE_COOKIE", (dir / "cookie").string());
    for (const auto deadline = Clock::now() + kStartTimeout; Clock::now() < deadline;
         std::this_thread::sleep_for(kPollInterval)) {
      if (::waitpid(pid, nullptr, WNOHANG) == pid) {
        pid = -1;
        throw std::runtime_error(name() + " exited at start:\n" + textOf(log));
      }
      if (sessionPid > 0 && ::waitpid(sessionPid, nullptr, WNOHANG) == sessionPid) {
        sessionPid = -1;
        throw std::runtime_error("wireplumber exited at start:\n" + textOf(log));
      }
      // The session manager needs PipeWire to be listening already, its modules loaded.
      if (kind == ServerKind::PipeWire && sessionPid < 0 &&
          std::filesystem::exists(dir / "native")) {
        sessionPid =
            spawn({"wireplumber", "-c", (dir / "wireplumber" / "wireplumber.conf").string()},
                  privateEnvironment(), log);
      }
      if (std::filesystem::exists(dir / "native")) {
        if (Control control(address); control.ready()) {
          if (kind == ServerKind::PulseAudio) {
            holdLowLatency();
            control.restartSink();
            return;
          }
          // Streams are heard only once the session manager has made the sink the default.
          if (control.defaultSink() == kSinkName) {
            return;
          }
        }
      }
    }
    throw std::runtime_error(name() + " did not answer within 10 s:\n" + textOf(log));
  }

  // A playback stream that never plays anything keeps PulseAudio's null sink rendering in short
  // steps for the daemon's whole life, so that every new stream is heard at once, as on a
  // desktop's sound card. Being silent, it is left out of the mix and the other streams reach the
  // sink unchanged.
  void holdLowLatency() {
    const pa_sample_spec format = sampleFormat(rateHz);
    const pa_buffer_attr attr{
        kServerDefault, static_cast<std::uint32_t>(pa_usec_to_bytes(kKeeperLatencyUs, &format)),
        kServerDefault, kServerDefault, kServerDefault};
    int error = 0;
    keeper = pa_simple_new(address.c_str(), "Bitoner test server", PA_STREAM_PLAYBACK, kSinkName,
                           "Latency keeper", &format, nullptr, &attr, &error);
    if (keeper == nullptr) {
      throw std::runtime_error(std::string("cannot open a stream on the private server: ") +
                               pa_strerror(error));
    }
  }
};

PrivatePulse::PrivatePulse(ServerKind kind, std::uint32_t rateHz)
    : state_(std::make_unique<State>(kind, rateHz)) {
  state_->start();
}

std::uint32_t PrivatePulse::rateHz() const { return state_->rateHz; }

PrivatePulse::~PrivatePulse() = default;

ServerKind PrivatePulse::kind() const { return state_->kind; }

const std::string& PrivatePulse::serverAddress() const { return state_->address; }

void PrivatePulse::killDaemon() { stopProcess(state_->pid, SIGKILL); }

void PrivatePulse::restartDaemon() {
  State& state = *state_;
  if (state.keeper != nullptr) {
    pa_simple_free(state.keeper);
    state.keeper = nullptr;
  }
  stopProcess(state.sessionPid, SIGKILL);
  stopProcess(state.pid, SIGKILL);
  std::error_code ignored;
  std::filesystem::remove(state.dir / "native", ignored);  // the dead server's socket
  state.start();
}

void PrivatePulse::pauseDaemon() { ::kill(state_->pid, SIGSTOP); }

void PrivatePulse::resumeDaemon() { ::kill(state_->pid, SIGCONT); }

struct MonitorRecorder::State {
  explicit State(std::uint32_t rate) : rateHz(rate) {}
  std::uint32_t rateHz;
  pa_simple* stream = nullptr;
  std::atomic<bool> stopping{false};
  std::vector<std::int16_t> samples;
  // (frames recorded so far, when the read that completed them returned)
  std::vector<std::pair<std::size_t, Clock::time_point>> arrivals;
  std::thread reader;

  ~State() {
    finish();
    if (stream != nullptr) {
      pa_simple_free(stream);
    }
  }
  void finish() {
    stopping = true;
    if (reader.joinable()) {
      reader.join();
    }
  }
};

MonitorRecorder::MonitorRecorder(const PrivatePulse& pulse)
    : state_(std::make_unique<State>(pulse.rateHz())) {
  const pa_sample_spec format = sampleFormat(pulse.rateHz());
  const pa_buffer_attr attr{
      kServerDefault, kServerDefault, kServerDefault, kServerDefault,
      static_cast<std::uint32_t>(pa_frame_size(&format) * kRecordChunkFrames)};
  const std::string monitor = std::string(kSinkName) + ".monitor";
  int error = 0;
  state_->stream =
      pa_simple_new(pulse.serverAddress().c_str(), "Bitoner test recorder", PA_STREAM_RECORD,
                    monitor.c_str(), "Monitor", &format, nullptr, &attr, &error);
  if (state_->stream == nullptr) {
    throw std::runtime_error("cannot record " + monitor + ": " + pa_strerror(error));
  }
  state_->reader = std::thread([state = state_.get()] {
    std::vector<std::int16_t> chunk(kRecordChunkFrames * kChannels);
    int readError = 0;
    // A failed read means the server went away: what was recorded is kept.
    while (!state->stopping &&
           pa_simple_read(state->stream, chunk.data(), chunk.size() * sizeof(std::int16_t),
                          &readError) >= 0) {
      state->samples.insert(state->samples.end(), chunk.begin(), chunk.end());
      Clock::time_point when = Clock::now();
      // Now and then the server says how long the last frame read has waited since it left the
      // sink (a round trip, so not at every read).
      if (state->arrivals.size() % kLatencyEvery == 0) {
        const pa_usec_t waited = pa_simple_get_latency(state->stream, &readError);
        if (waited != static_cast<pa_usec_t>(-1)) {
          when -= std::chrono::microseconds(waited);
        }
      }
      state->arrivals.emplace_back(state->samples.size() / kChannels, when);
    }
  });
}

MonitorRecorder::~MonitorRecorder() = default;

std::vector<std::int16_t> MonitorRecorder::stop() {
  if (!state_->stopping) {
    std::this_thread::sleep_for(kRecordTail);
    state_->finish();
  }
  return state_->samples;
}

std::chrono::steady_clock::time_point MonitorRecorder::arrivalTime(std::size_t frame) const {
  // A read returns late when this process or the server is kept waiting (under load, or a whole
  // PipeWire quantum delivered at once), but the sink plays its frames at its rate on the steady
  // clock: of the reads that end within kArrivalWindow after the frame, the one least delayed
  // (less the wait the server owned to) places it.
  if (state_->arrivals.empty()) {
    return Clock::time_point{};
  }
  const auto window = static_cast<std::size_t>(
      std::chrono::duration<double>(kArrivalWindow).count() * state_->rateHz);
  std::optional<Clock::time_point> soonest;
  for (const auto& [frames, when] : state_->arrivals) {
    if (frames > frame && frames <= frame + window) {
      const auto after = std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(static_cast<double>(frames - frame - 1) / state_->rateHz));
      soonest = std::min(soonest.value_or(when - after), when - after);
    }
  }
  return soonest.value_or(state_->arrivals.back().second);
}

std::vector<std::string> playOrder(std::u32string_view message) {
  const PatternTable table = CWchars();
  std::vector<std::string> plays;
  for (const char32_t c : message) {
    for (const char element : table.at(c)) {
      plays.emplace_back(element == '0' ? "dot.wav" : "dash.wav");
      plays.emplace_back("InterSymb.wav");
    }
    plays.emplace_back("idle.wav");
  }
  return plays;
}

std::vector<std::int16_t> framesOf(const std::vector<std::string>& names) {
  std::vector<std::int16_t> all;
  for (const std::string& name : names) {
    std::string file = name;
    for (const std::string_view known : kToneFileNames) {
      if (::strcasecmp(std::string(known).c_str(), name.c_str()) == 0) {
        file = known;
      }
    }
    const std::vector<std::int16_t> frames = readWavSamples(file);
    all.insert(all.end(), frames.begin(), frames.end());
  }
  return all;
}

namespace {

bool silentAt(const std::vector<std::int16_t>& samples, std::size_t frame) {
  return samples[frame * kChannels] == 0 && samples[frame * kChannels + 1] == 0;
}

std::string frameText(const std::vector<std::int16_t>& samples, std::size_t frame) {
  return "(" + std::to_string(samples[frame * kChannels]) + ", " +
         std::to_string(samples[frame * kChannels + 1]) + ")";
}

}  // namespace

std::ptrdiff_t signalStart(const std::vector<std::int16_t>& recording) {
  for (std::size_t frame = 0; frame < recording.size() / kChannels; ++frame) {
    if (!silentAt(recording, frame)) {
      return static_cast<std::ptrdiff_t>(frame * kChannels);
    }
  }
  return -1;
}

SignalComparison compareSignal(const std::vector<std::int16_t>& recording,
                               const std::vector<std::int16_t>& expected,
                               std::size_t maxMissingAtStart) {
  SignalComparison result;
  const std::size_t recorded = recording.size() / kChannels;
  const std::size_t played = expected.size() / kChannels;
  const std::ptrdiff_t startSample = signalStart(recording);
  if (startSample < 0) {
    result.equal = played == 0;
    result.description = "the recording holds no signal";
    return result;
  }
  const auto start = static_cast<std::size_t>(startSample) / kChannels;
  std::size_t last = recorded - 1;
  while (silentAt(recording, last)) {
    --last;
  }
  result.recordedFrames = last - start + 1;
  for (std::size_t frame = start; frame <= last; ++frame) {
    result.silentInside += silentAt(recording, frame) ? 1U : 0U;
  }

  // The recording may lack the first few played frames: the first lead that matches to the end
  // wins, else the one that matches longest.
  std::size_t matched = 0;
  for (std::size_t lead = 0; lead <= std::min(maxMissingAtStart, played); ++lead) {
    std::size_t length = 0;
    while (lead + length < played && start + length < recorded &&
           recording[(start + length) * kChannels] == expected[(lead + length) * kChannels] &&
           recording[(start + length) * kChannels + 1] ==
               expected[(lead + length) * kChannels + 1]) {
      ++length;
    }
    if (length > matched || lead + length == played) {
      result.missingAtStart = lead;
      matched = length;
    }
    if (lead + length == played) {
      break;
    }
  }
  const std::size_t end = start + matched;
  std::size_t extraAfter = 0;
  for (std::size_t frame = end; frame < recorded; ++frame) {
    extraAfter += silentAt(recording, frame) ? 0U : 1U;
  }
  const std::size_t next = result.missingAtStart + matched;  // first played frame not found
  result.equal = next == played && extraAfter == 0;
  std::ostringstream text;
  if (next < played) {
    text << "played frame " << next << " of " << played << " " << frameText(expected, next)
         << (end < recorded ? " was recorded as " + frameText(recording, end)
                            : std::string(" is missing: the recording ends"))
         << " (" << result.missingAtStart << " frames missing at the start, " << result.silentInside
         << " silent frames inside the signal)";
  } else if (extraAfter > 0) {
    text << extraAfter << " signal frames were recorded after the played ones";
  }
  result.description = text.str();
  return result;
}

void expectRecorded(const std::vector<std::int16_t>& recording,
                    const std::vector<std::int16_t>& expected) {
  const SignalComparison result = compareSignal(recording, expected, kMaxMissingFrames);
  EXPECT_TRUE(result.equal) << result.description;
}

}  // namespace bitoner::testing
