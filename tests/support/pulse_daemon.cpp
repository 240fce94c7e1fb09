#include "support/pulse_daemon.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/simple.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>

#include "keying/patterns.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

extern char** environ;

namespace bitoner::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kRateHz = 11025;
constexpr std::uint8_t kChannels = 2;
constexpr std::size_t kBytesPerFrame = 4;
constexpr auto kStartTimeout = 10s;
constexpr auto kStopTimeout = 3s;
constexpr auto kPollInterval = 20ms;
// Monitor reads of this many frames (about 12 ms) keep the arrival times fine-grained.
constexpr std::size_t kRecordChunkFrames = 128;
// After the last play has drained, the monitor still has its own short buffer to deliver.
constexpr auto kRecordTail = 250ms;
constexpr pa_usec_t kKeeperLatencyUs = 20000;
constexpr std::size_t kLogTailBytes = 2000;
// Frames that must match for a lead to count as the recording's alignment with the played frames.
constexpr std::size_t kAlignFrames = 32;
constexpr const char* kSinkName = "bitoner_test_sink";
// A buffer attribute the server chooses.
constexpr auto kServerDefault = static_cast<std::uint32_t>(-1);

static_assert(std::is_same_v<short, std::int16_t>, "libsndfile's short samples are 16-bit");

std::string logTail(const std::filesystem::path& log) {
  std::ifstream in(log, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  return all.size() > kLogTailBytes ? all.substr(all.size() - kLogTailBytes) : all;
}

std::filesystem::path findExecutable(const std::string& name) {
  const char* const path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::filesystem::path candidate = std::filesystem::path(dir) / name;
    if (::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  throw std::runtime_error("cannot find " + name + " on PATH");
}

// A control connection to the server, driven step by step so that no wait is unbounded.
class Probe {
 public:
  Probe()
      : loop_(pa_mainloop_new()),
        context_(pa_context_new(pa_mainloop_get_api(loop_), "Bitoner test probe")) {}
  ~Probe() {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_mainloop_free(loop_);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  // True once the handshake with the server at `address` completes within `limit`.
  bool connect(const std::string& address, std::chrono::milliseconds limit) {
    if (pa_context_connect(context_, address.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return false;
    }
    runUntil(Clock::now() + limit, [this] {
      return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) ||
             pa_context_get_state(context_) == PA_CONTEXT_READY;
    });
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
  }

  // Suspends and resumes the sink. A null sink that has been idle renders its silence far ahead
  // and only looks at new streams when that runs out; once resumed it renders in steps of the
  // latency its streams ask for.
  void restartSink(const std::string& sink, std::chrono::milliseconds limit) {
    for (const int suspend : {1, 0}) {
      pa_operation* operation =
          pa_context_suspend_sink_by_name(context_, sink.c_str(), suspend, nullptr, nullptr);
      if (operation == nullptr) {
        throw std::runtime_error(std::string("cannot restart the sink: ") +
                                 pa_strerror(pa_context_errno(context_)));
      }
      runUntil(Clock::now() + limit,
               [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
      pa_operation_unref(operation);
    }
  }

 private:
  template <typename Done>
  void runUntil(Clock::time_point deadline, Done done) {
    while (!done() && Clock::now() < deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
      if (pa_mainloop_prepare(loop_, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <
              0 ||
          pa_mainloop_poll(loop_) < 0 || pa_mainloop_dispatch(loop_) < 0) {
        return;
      }
    }
  }

  pa_mainloop* loop_;
  pa_context* context_;
};

}  // namespace

struct PrivatePulse::State {
  TempDir tempDir;
  std::filesystem::path dir = tempDir.path();
  std::filesystem::path log;
  std::string address;
  std::string sink = kSinkName;
  pid_t pid = -1;
  pa_simple* keeper = nullptr;
  std::optional<ScopedEnv> server;
  std::optional<ScopedEnv> cookie;

  void stopDaemon() {
    if (pid <= 0) {
      return;
    }
    ::kill(pid, SIGTERM);
    const Clock::time_point deadline = Clock::now() + kStopTimeout;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (Clock::now() >= deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(kPollInterval);
    }
    pid = -1;
  }

  void start() {
    log = dir / "daemon.log";
    address = "unix:" + (dir / "native").string();

    // Everything the child needs is built before fork: after it, only async-signal-safe calls.
    const std::filesystem::path program = findExecutable("pulseaudio");
    std::vector<std::string> args{
        "pulseaudio",
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--use-pid-file=no",
        "--system=false",
        "--log-target=stderr",
        "-L",
        "module-null-sink sink_name=" + sink + " rate=" + std::to_string(kRateHz) +
            " channels=" + std::to_string(kChannels) + " format=s16le",
        "-L",
        "module-native-protocol-unix socket=" + (dir / "native").string() + " auth-anonymous=1",
    };
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view item(*entry);
      if (!item.starts_with("HOME=") && !item.starts_with("XDG_") && !item.starts_with("PULSE_") &&
          !item.starts_with("DBUS_")) {
        env.emplace_back(item);
      }
    }
    for (const char* var : {"HOME=", "XDG_RUNTIME_DIR=", "XDG_CONFIG_HOME=", "XDG_STATE_HOME="}) {
      env.push_back(var + dir.string());
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& item : env) {
      envp.push_back(item.data());
    }
    envp.push_back(nullptr);

    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (logFd < 0 || nullFd < 0) {
      throw std::runtime_error("cannot open the daemon's log in " + dir.string());
    }
    const pid_t parent = ::getpid();
    pid = ::fork();
    if (pid == 0) {
      // The daemon must not outlive a test that crashes or is killed.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) {
        ::_exit(1);
      }
      sigset_t all;
      ::sigemptyset(&all);
      ::sigprocmask(SIG_SETMASK, &all, nullptr);
      ::dup2(nullFd, STDIN_FILENO);
      ::dup2(logFd, STDOUT_FILENO);
      ::dup2(logFd, STDERR_FILENO);
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    const int forkError = errno;
    ::close(logFd);
    ::close(nullFd);
    if (pid < 0) {
      throw std::runtime_error(std::string("fork: ") + std::strerror(forkError));
    }

    // Clients of this process talk to the private daemon, and keep their cookie in its directory.
    server.emplace("PULSE_SERVER", address);
    cookie.emplace("PULSE_COOKIE", (dir / "cookie").string());

    const Clock::time_point deadline = Clock::now() + kStartTimeout;
    while (true) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        throw std::runtime_error("pulseaudio exited at start:\n" + logTail(log));
      }
      if (std::filesystem::exists(dir / "native")) {
        Probe probe;
        if (probe.connect(address, 2s)) {
          holdLowLatency();
          probe.restartSink(sink, 2s);
          return;
        }
      }
      if (Clock::now() >= deadline) {
        throw std::runtime_error("pulseaudio did not answer within 10 s:\n" + logTail(log));
      }
      std::this_thread::sleep_for(kPollInterval);
    }
  }

  // A playback stream that never plays anything keeps the sink rendering in short steps for the
  // daemon's whole life, so that every new stream is heard at once, as on a desktop's sound card.
  // Being silent, it is left out of the mix and the other streams reach the sink unchanged.
  void holdLowLatency() {
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16NE, kRateHz, kChannels};
    const pa_buffer_attr attr{
        kServerDefault,
        static_cast<std::uint32_t>(pa_usec_to_bytes(kKeeperLatencyUs, &sampleFormat)),
        kServerDefault, kServerDefault, kServerDefault};
    int error = 0;
    keeper = pa_simple_new(address.c_str(), "Bitoner test server", PA_STREAM_PLAYBACK, sink.c_str(),
                           "Latency keeper", &sampleFormat, nullptr, &attr, &error);
    if (keeper == nullptr) {
      throw std::runtime_error(std::string("cannot open a stream on the private server: ") +
                               pa_strerror(error));
    }
  }

  void cleanUp() {
    if (keeper != nullptr) {
      pa_simple_free(keeper);
      keeper = nullptr;
    }
    stopDaemon();
    server.reset();
    cookie.reset();
  }
};

PrivatePulse::PrivatePulse() : state_(std::make_unique<State>()) {
  try {
    state_->start();
  } catch (...) {
    state_->cleanUp();
    throw;
  }
}

PrivatePulse::~PrivatePulse() { state_->cleanUp(); }

const std::string& PrivatePulse::serverAddress() const { return state_->address; }

const std::string& PrivatePulse::sinkName() const { return state_->sink; }

void PrivatePulse::killDaemon() {
  if (state_->pid > 0) {
    ::kill(state_->pid, SIGKILL);
    ::waitpid(state_->pid, nullptr, 0);
    state_->pid = -1;
  }
}

struct MonitorRecorder::State {
  pa_simple* stream = nullptr;
  std::thread reader;
  std::atomic<bool> stopping{false};
  std::vector<std::int16_t> samples;
  // (frames recorded so far, when the read that completed them returned)
  std::vector<std::pair<std::size_t, Clock::time_point>> arrivals;

  void run() {
    std::vector<std::int16_t> chunk(kRecordChunkFrames * kChannels);
    while (!stopping.load()) {
      int error = 0;
      if (pa_simple_read(stream, chunk.data(), chunk.size() * sizeof(std::int16_t), &error) < 0) {
        break;  // the server went away: keep what was recorded
      }
      samples.insert(samples.end(), chunk.begin(), chunk.end());
      arrivals.emplace_back(samples.size() / kChannels, Clock::now());
    }
  }
};

MonitorRecorder::MonitorRecorder(const PrivatePulse& pulse) : state_(std::make_unique<State>()) {
  const pa_sample_spec sampleFormat{PA_SAMPLE_S16NE, kRateHz, kChannels};
  const pa_buffer_attr attr{kServerDefault, kServerDefault, kServerDefault, kServerDefault,
                            static_cast<std::uint32_t>(kRecordChunkFrames * kBytesPerFrame)};
  const std::string monitor = pulse.sinkName() + ".monitor";
  int error = 0;
  state_->stream =
      pa_simple_new(pulse.serverAddress().c_str(), "Bitoner test recorder", PA_STREAM_RECORD,
                    monitor.c_str(), "Monitor", &sampleFormat, nullptr, &attr, &error);
  if (state_->stream == nullptr) {
    throw std::runtime_error(std::string("cannot record ") + monitor + ": " + pa_strerror(error));
  }
  state_->reader = std::thread([this] { state_->run(); });
}

MonitorRecorder::~MonitorRecorder() {
  if (state_->reader.joinable()) {
    state_->stopping = true;
    state_->reader.join();
  }
  if (state_->stream != nullptr) {
    pa_simple_free(state_->stream);
  }
}

std::vector<std::int16_t> MonitorRecorder::stop() {
  if (state_->reader.joinable()) {
    std::this_thread::sleep_for(kRecordTail);
    state_->stopping = true;
    state_->reader.join();
  }
  return state_->samples;
}

std::chrono::steady_clock::time_point MonitorRecorder::arrivalTime(std::size_t frame) const {
  for (const auto& [frames, when] : state_->arrivals) {
    if (frame < frames) {
      return when;
    }
  }
  return state_->arrivals.empty() ? Clock::time_point{} : state_->arrivals.back().second;
}

std::vector<std::int16_t> readWavSamples(const std::filesystem::path& file) {
  SF_INFO info{};
  SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &info);
  if (sound == nullptr) {
    throw std::runtime_error("cannot read " + file.string() + ": " + sf_strerror(nullptr));
  }
  std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames) *
                                    static_cast<std::size_t>(info.channels));
  const sf_count_t read = sf_readf_short(sound, samples.data(), info.frames);
  sf_close(sound);
  samples.resize(static_cast<std::size_t>(std::max<sf_count_t>(read, 0)) *
                 static_cast<std::size_t>(info.channels));
  return samples;
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
  const auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  };
  std::vector<std::int16_t> all;
  for (const std::string& name : names) {
    std::filesystem::path file = name;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
      if (!std::filesystem::exists(file) && lower(entry.path().filename()) == lower(name)) {
        file = entry.path();
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
  const std::size_t frames = recording.size() / kChannels;
  for (std::size_t frame = 0; frame < frames; ++frame) {
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
    if (silentAt(recording, frame)) {
      ++result.silentInside;
    }
  }

  // The recording may lack the first few played frames. The lead is the smallest one at which the
  // recording matches from the start for a while (a tone repeats, so later leads may match too);
  // one that matches to the end wins outright.
  std::optional<std::pair<std::size_t, std::size_t>> aligned;
  std::optional<std::pair<std::size_t, std::size_t>> whole;
  for (std::size_t lead = 0; lead <= std::min(maxMissingAtStart, played) && !whole; ++lead) {
    std::size_t length = 0;
    while (lead + length < played && start + length < recorded &&
           recording[(start + length) * kChannels] == expected[(lead + length) * kChannels] &&
           recording[(start + length) * kChannels + 1] ==
               expected[(lead + length) * kChannels + 1]) {
      ++length;
    }
    if (lead + length == played) {
      whole.emplace(lead, length);
    } else if (!aligned && length >= std::min(kAlignFrames, played - lead)) {
      aligned.emplace(lead, length);
    }
  }
  const auto [bestLead, bestLength] =
      whole.value_or(aligned.value_or(std::pair<std::size_t, std::size_t>{}));
  result.missingAtStart = bestLead;
  const std::size_t end = start + bestLength;
  for (std::size_t frame = end; frame < recorded; ++frame) {
    if (!silentAt(recording, frame)) {
      ++result.extraAfter;
    }
  }
  const bool complete = bestLead + bestLength == played;
  result.equal = complete && result.extraAfter == 0;
  std::ostringstream text;
  if (!complete) {
    const std::size_t playedFrame = bestLead + bestLength;
    text << "played frame " << playedFrame << " of " << played << " "
         << frameText(expected, playedFrame);
    if (end < recorded) {
      text << " was recorded as " << frameText(recording, end);
    } else {
      text << " is missing: the recording ends";
    }
    text << " (" << bestLead << " frames missing at the start, " << result.silentInside
         << " silent frames inside the signal)";
  } else if (result.extraAfter > 0) {
    text << result.extraAfter << " signal frames were recorded after the played ones";
  }
  result.description = text.str();
  return result;
}

void expectRecorded(const std::vector<std::int16_t>& recording,
                    const std::vector<std::int16_t>& expected) {
  const SignalComparison result = compareSignal(recording, expected, kMaxMissingFrames);
  EXPECT_TRUE(result.equal) << result.description;
  EXPECT_EQ(result.silentInside, 0U);
  EXPECT_LE(result.missingAtStart, kMaxMissingFrames);
}

}  // namespace bitoner::testing
