// The korvane tool end to end: the built program run as a user would run it, against a
// simulated controller started here, its output read back and held against what the
// simulator itself says.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "korvane/korvane.h"
#include "korvane_version.h"
#include "simulator.h"
#include "support/pty_pair.h"

extern char** environ;

namespace korvane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

#ifdef KORVANE_TOOL_PATH
constexpr const char* kToolPath = KORVANE_TOOL_PATH;
#else
constexpr const char* kToolPath = nullptr;
#endif

#define SKIP_WITHOUT_TOOL() \
    if (kToolPath == nullptr) GTEST_SKIP() << "the korvane tool is not part of this build"

// ---------------------------------------------------------------------------------------
// Running the tool
// ---------------------------------------------------------------------------------------

struct ToolResult {
    int exitCode = -1;  // 128 + signal when a signal ended it
    bool timedOut = false;
    std::string out;
    std::string err;
};

// The tool as a child process with its stdout and stderr captured. Whatever happens to the
// test, the child is killed and reaped by the destructor.
class ToolProcess {
  public:
    // `program` is the tool unless a test runs another of the project's programs.
    explicit ToolProcess(const std::vector<std::string>& args,
                         const std::vector<std::string>& environment = {},
                         const char* program = kToolPath) {
        int outPipe[2];
        int errPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0) return;
        if (pipe2(errPipe, O_CLOEXEC) != 0) {
            close(outPipe[0]);
            close(outPipe[1]);
            return;
        }
        outFd_ = outPipe[0];
        errFd_ = errPipe[0];

        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&files, outPipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&files, errPipe[1], STDERR_FILENO);
        // The child starts with the signal state of a shell's child, not the test's.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigset_t defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::vector<std::string> envp = mergedEnvironment(environment);
        std::vector<char*> argvPointers = pointers(argv);
        std::vector<char*> envPointers = pointers(envp);
        if (posix_spawn(&pid_, program, &files, &attributes, argvPointers.data(),
                        envPointers.data()) != 0) {
            pid_ = -1;
        }
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&files);
        close(outPipe[1]);
        close(errPipe[1]);
    }

    ~ToolProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (outFd_ >= 0) close(outFd_);
        if (errFd_ >= 0) close(errFd_);
    }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    bool started() const { return pid_ > 0; }
    const std::string& out() const { return out_; }

    // Reads until stdout holds `needle`; false when the time runs out or the output ends.
    bool waitForOutput(std::string_view needle, milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (out_.find(needle) == std::string::npos) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !pump(static_cast<int>(left.count()))) {
                return out_.find(needle) != std::string::npos;
            }
        }
        return true;
    }

    void signal(int number) {
        if (pid_ > 0) kill(pid_, number);
    }

    // Reads everything until the tool ends; kills it when `limit` passes first.
    ToolResult finish(milliseconds limit) {
        ToolResult result;
        const auto deadline = Clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                result.timedOut = true;
                kill(pid_, SIGKILL);
                break;
            }
            if (!pump(static_cast<int>(left.count()))) break;
        }
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
            result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        pid_ = -1;
        result.out = out_;
        result.err = err_;
        return result;
    }

  private:
    static std::vector<char*> pointers(const std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (const std::string& s : strings) result.push_back(const_cast<char*>(s.c_str()));
        result.push_back(nullptr);
        return result;
    }

    // The test's environment with NAME=value entries replaced or added.
    static std::vector<std::string> mergedEnvironment(const std::vector<std::string>& changes) {
        std::vector<std::string> merged;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view current(*entry);
            bool replaced = false;
            for (const std::string& change : changes) {
                const std::string_view name = std::string_view(change).substr(0, change.find('='));
                if (current.substr(0, current.find('=')) == name) replaced = true;
            }
            if (!replaced) merged.emplace_back(current);
        }
        merged.insert(merged.end(), changes.begin(), changes.end());
        return merged;
    }

    // Waits up to `ms` for output and reads what came; false once both pipes are closed.
    bool pump(int ms) {
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (outFd_ < 0 && errFd_ < 0) return false;
        if (poll(fds, 2, ms) < 0) return true;
        drain(fds[0], outFd_, out_);
        drain(fds[1], errFd_, err_);
        return outFd_ >= 0 || errFd_ >= 0;
    }

    static void drain(const pollfd& fd, int& owned, std::string& into) {
        if (owned < 0 || (fd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
        char buffer[4096];
        const ssize_t n = read(owned, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else {
            close(owned);
            owned = -1;
        }
    }

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
};

ToolResult runTool(const std::vector<std::string>& args,
                   const std::vector<std::string>& environment = {},
                   milliseconds limit = milliseconds(20000)) {
    ToolProcess process(args, environment);
    if (!process.started()) return {};
    return process.finish(limit);
}

// ---------------------------------------------------------------------------------------
// Reading its output
// ---------------------------------------------------------------------------------------

std::optional<double> number(std::string_view text) {
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

// Just enough JSON to hold the tool's objects: a syntax error anywhere fails the parse.
struct Json {
    enum class Kind { Null, Boolean, Number, String, Array, Object } kind = Kind::Null;
    double number = 0.0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json* member(const std::string& name) const {
        const auto it = members.find(name);
        return it == members.end() ? nullptr : &it->second;
    }
};

class JsonParser {
  public:
    static std::optional<Json> parse(std::string_view text) {
        JsonParser parser(text);
        std::optional<Json> value = parser.value();
        parser.skipSpace();
        if (!value || parser.at_ != text.size()) return std::nullopt;
        return value;
    }

  private:
    explicit JsonParser(std::string_view text) : text_(text) {}

    void skipSpace() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }
    bool take(char ch) {
        skipSpace();
        if (at_ < text_.size() && text_[at_] == ch) {
            ++at_;
            return true;
        }
        return false;
    }

    std::optional<std::string> string() {
        if (!take('"')) return std::nullopt;
        std::string out;
        while (at_ < text_.size() && text_[at_] != '"') {
            if (text_[at_] == '\\') {
                if (++at_ >= text_.size()) return std::nullopt;
                const char escaped = text_[at_];
                out += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
            } else {
                out += text_[at_];
            }
            ++at_;
        }
        if (at_ >= text_.size()) return std::nullopt;
        ++at_;
        return out;
    }

    std::optional<Json> value() {
        skipSpace();
        if (at_ >= text_.size()) return std::nullopt;
        Json json;
        const char ch = text_[at_];
        if (ch == '{') {
            ++at_;
            json.kind = Json::Kind::Object;
            if (take('}')) return json;
            do {
                std::optional<std::string> name = string();
                if (!name || !take(':')) return std::nullopt;
                std::optional<Json> member = value();
                if (!member) return std::nullopt;
                json.members[*name] = *member;
            } while (take(','));
            return take('}') ? std::optional<Json>(json) : std::nullopt;
        }
        if (ch == '[') {
            ++at_;
            json.kind = Json::Kind::Array;
            if (take(']')) return json;
            do {
                std::optional<Json> item = value();
                if (!item) return std::nullopt;
                json.items.push_back(*item);
            } while (take(','));
            return take(']') ? std::optional<Json>(json) : std::nullopt;
        }
        if (ch == '"') {
            std::optional<std::string> text = string();
            if (!text) return std::nullopt;
            json.kind = Json::Kind::String;
            json.text = *text;
            return json;
        }
        for (const std::string_view word : {"null", "true", "false"}) {
            if (text_.substr(at_, word.size()) == word) {
                at_ += word.size();
                json.kind = word == "null" ? Json::Kind::Null : Json::Kind::Boolean;
                return json;
            }
        }
        const std::size_t start = at_;
        while (at_ < text_.size() &&
               std::string_view("+-.eE0123456789").find(text_[at_]) != std::string_view::npos) {
            ++at_;
        }
        const std::optional<double> parsed = number(text_.substr(start, at_ - start));
        if (!parsed) return std::nullopt;
        json.kind = Json::Kind::Number;
        json.number = *parsed;
        return json;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

// "x 1.000  y -2.500 ..." into the numbers, in axis order; fails on anything else.
std::optional<std::vector<double>> axisValues(std::string_view text) {
    std::istringstream words{std::string(text)};
    std::vector<double> values;
    std::string letter;
    std::string value;
    while (words >> letter >> value) {
        if (letter.size() != 1 || letter[0] != "xyzabc"[values.size() % 6]) return std::nullopt;
        const std::optional<double> parsed = number(value);
        if (!parsed) return std::nullopt;
        values.push_back(*parsed);
    }
    return values;
}

// The value of a "label   value" line of `status`, or nothing.
std::optional<std::string> labelled(const std::string& text, const std::string& label) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, label.size() + 1, label + " ") == 0) {
            return line.substr(line.find_first_not_of(' ', label.size()));
        }
    }
    return std::nullopt;
}

const std::array<const char*, 19> kSubcommands = {
    "demo",     "sim",     "ports", "status", "position", "uuid",  "monitor",
    "velocity", "pendant", "jog",   "jog-to", "set-pos",  "accel", "soft-limits",
    "travel",   "home",    "hold",  "resume", "estop"};

// Polls `condition` until it holds or `limit` passes.
template <typename Condition>
bool eventually(Condition condition, milliseconds limit = milliseconds(3000)) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Against a running simulator
// ---------------------------------------------------------------------------------------

class ToolAgainstSimulator : public ::testing::Test {
  protected:
    static constexpr const char* kUuid = "0b7c8d2e-tool-test-4f1a-9e3d5c2b7a60";

    void SetUp() override {
        SKIP_WITHOUT_TOOL();
        sim::SimOptions options;
        options.uuid = kUuid;
        options.homingDurationMs = 600;  // well above the time to the first poll that sees it
        simulator_ = std::make_unique<sim::Simulator>(options);
        ASSERT_TRUE(simulator_->start()) << simulator_->error();
    }

    // The subcommand with --port pointing at the simulator.
    ToolResult run(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        args.insert(args.begin() + 1, {"--port", simulator_->devicePath()});
        return runTool(args, env);
    }

    std::unique_ptr<sim::Simulator> simulator_;
};

#define EXPECT_SUCCEEDS(result)                                                      \
    do {                                                                             \
        const ToolResult& r_ = (result);                                             \
        EXPECT_EQ(r_.exitCode, 0) << "stdout:\n" << r_.out << "stderr:\n" << r_.err; \
    } while (0)

TEST_F(ToolAgainstSimulator, StatusTextAndJsonShowWhatTheSimulatorHolds) {
    // Values that differ per axis, a state that is not the default and limit pins that are
    // not all zero, so that a field read from the wrong place shows.
    EXPECT_SUCCEEDS(run({"set-pos", "--axis", "x", "--position", "12.5"}));
    EXPECT_SUCCEEDS(run({"set-pos", "--axis", "4", "--position", "-3.25"}));
    simulator_->setLimitPins({1, 0, 1, 0});
    simulator_->forceAlarm();
    const sim::MachineSnapshot snapshot = simulator_->snapshot();
    ASSERT_EQ(snapshot.state, sim::MachineState::Alarm);

    const ToolResult text = run({"status"});
    EXPECT_SUCCEEDS(text);
    EXPECT_EQ(labelled(text.out, "state"), std::string(sim::stateWord(snapshot.state)) + " (5)");
    const std::optional<std::string> positionLine = labelled(text.out, "positions");
    ASSERT_TRUE(positionLine.has_value()) << text.out;
    const std::optional<std::vector<double>> shown =
        axisValues(positionLine->substr(0, positionLine->find('(')));
    ASSERT_TRUE(shown.has_value()) << *positionLine;
    ASSERT_EQ(shown->size(), 6u);
    for (std::size_t axis = 0; axis < 6; ++axis) {
        EXPECT_NEAR((*shown)[axis], snapshot.positions[axis], 0.0005) << "axis " << axis;
    }
    EXPECT_EQ(labelled(text.out, "limits"), "1 0 1 0");

    const ToolResult json = run({"status", "--json"});
    EXPECT_SUCCEEDS(json);
    const std::optional<Json> parsed = JsonParser::parse(json.out);
    ASSERT_TRUE(parsed.has_value()) << json.out;
    const Json* state = parsed->member("state");
    ASSERT_NE(state, nullptr);
    ASSERT_NE(state->member("name"), nullptr);
    ASSERT_NE(state->member("value"), nullptr);
    EXPECT_EQ(state->member("name")->text, sim::stateWord(snapshot.state));
    EXPECT_EQ(state->member("value")->number, KORVANE_STATE_ALARM);
    const Json* positions = parsed->member("positions");
    ASSERT_NE(positions, nullptr);
    ASSERT_EQ(positions->items.size(), 6u);
    for (std::size_t axis = 0; axis < 6; ++axis) {
        EXPECT_NEAR(positions->items[axis].number, snapshot.positions[axis], 0.0005);
    }
    ASSERT_NE(parsed->member("count"), nullptr);
    EXPECT_EQ(parsed->member("count")->number, 6);
    ASSERT_NE(parsed->member("feed"), nullptr);
    EXPECT_NEAR(parsed->member("feed")->number, snapshot.feed, 0.0005);
    const Json* limits = parsed->member("limits");
    ASSERT_NE(limits, nullptr);
    ASSERT_EQ(limits->items.size(), 4u);
    EXPECT_EQ(limits->items[0].number, 1);
    EXPECT_EQ(limits->items[1].number, 0);
    EXPECT_EQ(limits->items[2].number, 1);
    EXPECT_EQ(limits->items[3].number, 0);
}

TEST_F(ToolAgainstSimulator, PositionAndUuidInTextAndJson) {
    EXPECT_SUCCEEDS(run({"set-pos", "--axis", "c", "--position", "-0.125"}));
    const ToolResult text = run({"position"});
    EXPECT_SUCCEEDS(text);
    const std::optional<std::vector<double>> shown =
        axisValues(text.out.substr(0, text.out.find('(')));
    ASSERT_TRUE(shown.has_value() && shown->size() == 6u) << text.out;
    EXPECT_NEAR((*shown)[5], -0.125, 0.0005);

    const ToolResult json = run({"position", "--json"});
    const std::optional<Json> positions = JsonParser::parse(json.out);
    ASSERT_TRUE(positions.has_value()) << json.out;
    ASSERT_NE(positions->member("positions"), nullptr);
    ASSERT_EQ(positions->member("positions")->items.size(), 6u);
    EXPECT_NEAR(positions->member("positions")->items[5].number, -0.125, 0.0005);

    const ToolResult uuid = run({"uuid"});
    EXPECT_SUCCEEDS(uuid);
    EXPECT_EQ(uuid.out, std::string(kUuid) + "\n");
    const std::optional<Json> uuidJson = JsonParser::parse(run({"uuid", "--json"}).out);
    ASSERT_TRUE(uuidJson.has_value());
    ASSERT_NE(uuidJson->member("uuid"), nullptr);
    EXPECT_EQ(uuidJson->member("uuid")->text, kUuid);
}

TEST_F(ToolAgainstSimulator, JogsMoveTheSimulatorAxis) {
    const ToolResult relative =
        run({"jog", "--axis", "y", "--distance", "4", "--feed", "1200", "--wait"});
    EXPECT_SUCCEEDS(relative);
    EXPECT_NEAR(simulator_->positions()[1], 4.0, 0.001);
    const std::vector<std::string> lines = simulator_->receivedLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "$J=G91 y4.000 F1200"), lines.end());

    // An index instead of a letter, and a negative value given with '='.
    EXPECT_SUCCEEDS(run({"jog-to", "--axis", "0", "--position=-2.5", "--feed", "1200", "--wait"}));
    EXPECT_NEAR(simulator_->positions()[0], -2.5, 0.001);
    EXPECT_NEAR(simulator_->positions()[1], 4.0, 0.001);
}

TEST_F(ToolAgainstSimulator, SettingsReachTheSimulator) {
    EXPECT_SUCCEEDS(run({"accel", "--axis", "z", "--value", "250.5"}));
    EXPECT_SUCCEEDS(run({"soft-limits", "--axis", "Z", "--on"}));
    EXPECT_SUCCEEDS(
        run({"travel", "--axis", "z", "--max-travel", "120", "--homing-position", "-20.75"}));
    sim::AxisSettings z = simulator_->axisSettings(2);
    EXPECT_DOUBLE_EQ(z.accelerationMmPerSec2, 250.5);
    EXPECT_TRUE(z.softLimits);
    EXPECT_DOUBLE_EQ(z.maxTravelMm, 120.0);
    EXPECT_DOUBLE_EQ(z.homingMposMm, -20.75);
    EXPECT_SUCCEEDS(run({"soft-limits", "--axis", "z", "--off"}));
    EXPECT_FALSE(simulator_->axisSettings(2).softLimits);
    // Nothing leaked onto a neighbouring axis.
    EXPECT_FALSE(simulator_->axisSettings(1).softLimits);
    EXPECT_DOUBLE_EQ(simulator_->axisSettings(1).maxTravelMm, sim::AxisSettings{}.maxTravelMm);
}

TEST_F(ToolAgainstSimulator, HoldResumeEmergencyStopAndHomeDriveTheMachine) {
    // Slow enough to be still under way through every step.
    EXPECT_SUCCEEDS(run({"jog", "--axis", "x", "--distance", "50", "--feed", "300"}));
    EXPECT_TRUE(eventually([&] { return simulator_->state() == sim::MachineState::Jog; }));
    // The hold ends the jog, and the resume has nothing to resume.
    EXPECT_SUCCEEDS(run({"hold"}));
    EXPECT_TRUE(eventually([&] { return simulator_->state() == sim::MachineState::Idle; }));
    const double held = simulator_->positions()[0];
    EXPECT_LT(held, 50.0);
    EXPECT_SUCCEEDS(run({"resume"}));
    EXPECT_EQ(simulator_->state(), sim::MachineState::Idle);
    EXPECT_EQ(simulator_->positions()[0], held);
    EXPECT_SUCCEEDS(run({"jog", "--axis", "x", "--distance", "50", "--feed", "300"}));
    EXPECT_TRUE(eventually([&] { return simulator_->state() == sim::MachineState::Jog; }));
    EXPECT_SUCCEEDS(run({"estop"}));
    EXPECT_EQ(simulator_->state(), sim::MachineState::Alarm);
    EXPECT_SUCCEEDS(run({"home", "--axis", "x"}));
    EXPECT_EQ(simulator_->state(), sim::MachineState::Idle);
    EXPECT_EQ(simulator_->receivedLines().back(), "$Hx");
    EXPECT_SUCCEEDS(run({"home"}));
    EXPECT_EQ(simulator_->receivedLines().back(), "$H");
}

TEST_F(ToolAgainstSimulator, FailingCallsExitWithOneAndSayWhy) {
    simulator_->forceAlarm();
    const ToolResult refused = run({"jog", "--axis", "x", "--distance", "1", "--feed", "100"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("Korvane_JogRel"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("7 FIRMWARE_ERROR"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("Firmware error: error:"), std::string::npos) << refused.err;
}

// What the library would refuse with 8 the tool refuses before it connects, in the words the
// library's message has for the same value, with the usage error's exit code.
TEST_F(ToolAgainstSimulator, RefusesWhatTheLibraryRefusesInTheLibrarysWords) {
    struct Case {
        std::vector<std::string> words;
        std::function<ResultCode(DeviceHandle)> call;
    };
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const std::vector<Case> cases = {
        {{"jog", "--axis", "x", "--distance", "1", "--feed", "0"},
         [](DeviceHandle h) { return Korvane_JogRel(h, 0, 1.0f, 0.0f); }},
        {{"jog", "--axis", "x", "--distance", "1", "--feed", "-5"},
         [](DeviceHandle h) { return Korvane_JogRel(h, 0, 1.0f, -5.0f); }},
        {{"jog", "--axis", "7", "--distance", "1", "--feed", "100"},
         [](DeviceHandle h) { return Korvane_JogRel(h, 7, 1.0f, 100.0f); }},
        {{"jog-to", "--axis", "x", "--position", "nan", "--feed", "100"},
         [](DeviceHandle h) { return Korvane_JogAbs(h, 0, std::nanf(""), 100.0f); }},
        {{"jog-to", "--axis", "x", "--position", "1", "--feed", "0.5"},
         [](DeviceHandle h) { return Korvane_JogAbs(h, 0, 1.0f, 0.5f); }},
        {{"set-pos", "--axis", "b", "--position", "-inf"},
         [](DeviceHandle h) { return Korvane_SetPos(h, 4, -kInf); }},
        {{"accel", "--axis", "x", "--value", "0"},
         [](DeviceHandle h) { return Korvane_SetAcceleration(h, 0, 0.0f); }},
        {{"travel", "--axis", "x", "--max-travel", "inf", "--homing-position", "0"},
         [](DeviceHandle h) { return Korvane_SetSoftLimitRange(h, 0, kInf, 0.0f); }},
        {{"travel", "--axis", "x", "--max-travel", "10", "--homing-position", "nan"},
         [](DeviceHandle h) { return Korvane_SetSoftLimitRange(h, 0, 10.0f, std::nanf("")); }},
        {{"velocity", "--axis", "x", "--rate", "0", "--seconds", "1"},
         [](DeviceHandle h) { return Korvane_VelocityStart(h, 0, 0.0f); }},
        {{"velocity", "--axis", "x", "--rate", "-0.05", "--seconds", "1"},
         [](DeviceHandle h) { return Korvane_VelocityStart(h, 0, -0.05f); }},
        {{"home", "--axis", "6"}, [](DeviceHandle h) { return Korvane_Home(h, 6); }},
    };
    std::vector<std::string> libraryMessages;
    {
        DeviceHandle handle = nullptr;
        ASSERT_EQ(Korvane_Connect(simulator_->devicePathWide().c_str(), 115200, &handle),
                  KORVANE_SUCCESS);
        for (const Case& c : cases) {
            EXPECT_EQ(c.call(handle), KORVANE_INVALID_ARGUMENT) << c.words[0];
            libraryMessages.emplace_back(Korvane_GetLastError(handle));
        }
        Korvane_Disconnect(handle);
    }
    const std::size_t queries = simulator_->realtimeCount('?');
    const std::size_t lines = simulator_->receivedLines().size();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const ToolResult result = run(cases[i].words);
        SCOPED_TRACE(libraryMessages[i]);
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_EQ(result.err.rfind("korvane: " + libraryMessages[i] + "\n", 0), 0u) << result.err;
        EXPECT_NE(result.err.find("usage: korvane " + cases[i].words[0]), std::string::npos);
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
    // None of them opened the port.
    EXPECT_EQ(simulator_->realtimeCount('?'), queries);
    EXPECT_EQ(simulator_->receivedLines().size(), lines);

    // Words that are no number at all get the same rule's text.
    const ToolResult word = run({"jog", "--axis", "x", "--distance", "abc", "--feed", "100"});
    EXPECT_EQ(word.exitCode, 2);
    const std::string nanDistance = [&] {
        DeviceHandle handle = nullptr;
        EXPECT_EQ(Korvane_Connect(simulator_->devicePathWide().c_str(), 115200, &handle),
                  KORVANE_SUCCESS);
        Korvane_JogRel(handle, 0, std::nanf(""), 100.0f);
        const std::string message = Korvane_GetLastError(handle);
        Korvane_Disconnect(handle);
        return message;
    }();
    ASSERT_EQ(nanDistance.rfind("Invalid distance: nan (accepted: ", 0), 0u) << nanDistance;
    const std::string accepted = nanDistance.substr(nanDistance.find("(accepted: "));
    EXPECT_EQ(word.err.rfind("korvane: Invalid distance: abc " + accepted + "\n", 0), 0u)
        << word.err;
}

TEST_F(ToolAgainstSimulator, ARepeatedOptionIsAUsageErrorAndNothingMoves) {
    const std::vector<std::vector<std::string>> commandLines = {
        {"jog", "--axis", "x", "--distance", "5", "--feed", "300", "--axis", "y"},
        {"jog", "--axis", "x", "--distance", "5", "--feed=300", "--feed", "600"},
        {"jog", "--axis", "x", "--distance", "5", "--feed", "300", "--wait", "--wait"},
        {"home", "--axis", "x", "--axis", "all"},
        {"status", "--port", simulator_->devicePath()},
    };
    for (const std::vector<std::string>& words : commandLines) {
        const ToolResult result = run(words);
        EXPECT_EQ(result.exitCode, 2) << words[0];
        EXPECT_NE(result.err.find("given more than once"), std::string::npos) << result.err;
    }
    EXPECT_TRUE(simulator_->receivedLines().empty());
    EXPECT_EQ(simulator_->positions()[0], 0.0);
    EXPECT_EQ(simulator_->positions()[1], 0.0);
}

// Ctrl-C or SIGTERM while `jog --wait` waits: the jog is held and cancelled, the tool waits
// until the machine stands and ends with 128 + the signal, as a shell would report it.
TEST_F(ToolAgainstSimulator, AStopRequestDuringJogWaitLeavesNoMachineMoving) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        const double start = simulator_->positions()[0];
        ToolProcess jog({"jog", "--port", simulator_->devicePath(), "--axis", "x", "--distance",
                         "200", "--feed", "300", "--wait"});
        ASSERT_TRUE(jog.started());
        ASSERT_TRUE(jog.waitForOutput("accepted", milliseconds(5000))) << jog.out();
        ASSERT_TRUE(eventually([&] { return simulator_->state() == sim::MachineState::Jog; }));
        const std::size_t cancels = simulator_->realtimeCount(0x85);
        jog.signal(signal);
        const ToolResult result = jog.finish(milliseconds(15000));
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 128 + signal) << result.out << result.err;
        EXPECT_NE(result.out.find("jog stopped by"), std::string::npos) << result.out;
        EXPECT_GT(simulator_->realtimeCount(0x85), cancels);

        // Standing still when the tool has ended, as two readings apart show, and short of
        // the target.
        const sim::MachineState state = simulator_->state();
        EXPECT_NE(state, sim::MachineState::Jog);
        EXPECT_NE(state, sim::MachineState::Run);
        const double first = simulator_->positions()[0];
        std::this_thread::sleep_for(milliseconds(400));
        EXPECT_EQ(simulator_->positions()[0], first);
        EXPECT_LT(first, start + 200.0);
        // The tool sees it standing too.
        const ToolResult before = run({"position"});
        const ToolResult after = run({"position"});
        EXPECT_SUCCEEDS(after);
        EXPECT_EQ(before.out, after.out);
    }
}

TEST_F(ToolAgainstSimulator, VelocityMovesTheAxisForTheGivenTimeThenStops) {
    const ToolResult result = run({"velocity", "--axis", "x", "--rate", "+1200", "--seconds", "1"});
    EXPECT_SUCCEEDS(result);
    // 1200 per minute for about a second is about 20; start-up and stop cost a little. The
    // machine may still be slowing down when the tool has ended.
    EXPECT_GT(simulator_->positions()[0], 5.0);
    EXPECT_TRUE(eventually([&] { return simulator_->state() == sim::MachineState::Idle; }));
    EXPECT_GE(simulator_->realtimeCount(0x85), 1u);
    // It showed the axis moving as it went, not just where it ended.
    std::istringstream lines(result.out);
    std::string line;
    int movingRows = 0;
    while (std::getline(lines, line)) movingRows += line.find(" Jog ") != std::string::npos;
    EXPECT_GE(movingRows, 3) << result.out;
}

TEST_F(ToolAgainstSimulator, MonitorRefreshesUntilSigintThenEndsCleanly) {
    ToolProcess monitor({"monitor", "--port", simulator_->devicePath(), "--interval-ms", "50"});
    ASSERT_TRUE(monitor.started());
    ASSERT_TRUE(monitor.waitForOutput("Idle", milliseconds(5000))) << monitor.out();
    const std::size_t queriesBefore = simulator_->realtimeCount('?');
    EXPECT_TRUE(eventually([&] { return simulator_->realtimeCount('?') > queriesBefore + 4; }));
    monitor.signal(SIGINT);
    const ToolResult result = monitor.finish(milliseconds(5000));
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    // The port is free again for the next program.
    EXPECT_SUCCEEDS(run({"status"}));
}

TEST_F(ToolAgainstSimulator, NumbersReadAndPrintTheSameUnderACommaLocale) {
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    const bool available = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    std::setlocale(LC_ALL, saved.c_str());
    if (!available) GTEST_SKIP() << "de_DE.UTF-8 is not installed";

    const std::vector<std::string> german{"LC_ALL=de_DE.UTF-8"};
    EXPECT_SUCCEEDS(run({"set-pos", "--axis", "x", "--position", "1.5"}, german));
    EXPECT_NEAR(simulator_->positions()[0], 1.5, 0.0005);
    const std::vector<std::string> lines = simulator_->receivedLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "$MPos=x1.500"), lines.end());
    const ToolResult json = run({"position", "--json"}, german);
    const std::optional<Json> parsed = JsonParser::parse(json.out);
    ASSERT_TRUE(parsed.has_value()) << json.out;
    ASSERT_NE(parsed->member("positions"), nullptr);
    ASSERT_FALSE(parsed->member("positions")->items.empty());
    EXPECT_NEAR(parsed->member("positions")->items[0].number, 1.5, 0.0005);
}

TEST_F(ToolAgainstSimulator, NonAsciiPortNameReachesTheController) {
    char directory[] = "/tmp/korvane-tool-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string link = std::string(directory) + "/p\xc3\xb6rt-\xe2\x82\xac";
    ASSERT_EQ(symlink(simulator_->devicePath().c_str(), link.c_str()), 0);
    // Under the C locale too: the name must not depend on LC_CTYPE to decode.
    const ToolResult result = runTool({"uuid", "--port", link}, {"LC_ALL=C"});
    unlink(link.c_str());
    rmdir(directory);
    EXPECT_SUCCEEDS(result);
    EXPECT_EQ(result.out, std::string(kUuid) + "\n");
}

// ---------------------------------------------------------------------------------------
// Without a controller, or without a valid command line
// ---------------------------------------------------------------------------------------

TEST(KorvaneTool, PortProblemsHaveExitCodesOfTheirOwn) {
    SKIP_WITHOUT_TOOL();
    const ToolResult missing = runTool({"status", "--port", "/dev/korvane-no-such-port"});
    EXPECT_EQ(missing.exitCode, 3);
    // The reason is the library's, with the system's code.
    EXPECT_NE(missing.err.find("cannot open port /dev/korvane-no-such-port: no such port (errno " +
                               std::to_string(ENOENT) + ")"),
              std::string::npos)
        << missing.err;

    sim::SimOptions options;
    options.silent = true;
    sim::Simulator silent(options);
    ASSERT_TRUE(silent.start()) << silent.error();
    const ToolResult quiet = runTool({"status", "--port", silent.devicePath()});
    EXPECT_EQ(quiet.exitCode, 4);
    EXPECT_NE(quiet.err.find("no controller answered on " + silent.devicePath()), std::string::npos)
        << quiet.err;
    EXPECT_TRUE(quiet.out.empty()) << quiet.out;
}

TEST(KorvaneTool, UsageErrorsExitWithTwoAndShowTheUsageOnStderr) {
    SKIP_WITHOUT_TOOL();
    const std::vector<std::vector<std::string>> commandLines = {
        {},
        {"frobnicate"},
        {"status"},
        {"status", "--port", "p", "--bogus"},
        {"status", "--port", "p", "--baud", "fast"},
        {"status", "--port"},
        {"jog", "--port", "p", "--axis", "q", "--distance", "1", "--feed", "1"},
        {"jog", "--port", "p", "--axis", "x", "--distance", "1,5", "--feed", "1"},
        {"jog", "--port", "p", "--axis", "x", "--feed", "1"},
        {"soft-limits", "--port", "p", "--axis", "x"},
        {"soft-limits", "--port", "p", "--axis", "x", "--on", "--off"},
        {"velocity", "--port", "p", "--axis", "x", "--rate", "600", "--seconds", "0"},
        {"monitor", "--port", "p", "stray"},
        {"pendant", "--port", "p", "--first-repeat-ms", "10"},
    };
    for (const std::vector<std::string>& words : commandLines) {
        std::string shown;
        for (const std::string& word : words) shown += " " + word;
        const ToolResult result = runTool(words);
        EXPECT_EQ(result.exitCode, 2) << "korvane" << shown;
        EXPECT_NE(result.err.find("usage: korvane"), std::string::npos)
            << "korvane" << shown << "\n"
            << result.err;
        EXPECT_TRUE(result.out.empty()) << "korvane" << shown << "\n" << result.out;
    }
}

TEST(KorvaneTool, HelpListsEverySubcommandAndEachHasItsOwn) {
    SKIP_WITHOUT_TOOL();
    const ToolResult overview = runTool({"--help"});
    EXPECT_EQ(overview.exitCode, 0);
    for (const char* name : kSubcommands) {
        EXPECT_NE(overview.out.find(std::string("\n  ") + name + " "), std::string::npos) << name;
        const ToolResult help = runTool({name, "--help"});
        EXPECT_EQ(help.exitCode, 0) << name;
        const std::string usage = help.out.substr(0, help.out.find('\n'));
        const std::string start = std::string("usage: korvane ") + name;
        EXPECT_TRUE(usage == start || usage.rfind(start + " ", 0) == 0) << help.out;
    }
}

// The version a user reports is the one of the library the tool really loaded.
TEST(KorvaneTool, VersionNamesTheProgramAndTheLibraryVersion) {
    SKIP_WITHOUT_TOOL();
    const ToolResult tool = runTool({"--version"});
    EXPECT_EQ(tool.exitCode, 0) << tool.err;
    EXPECT_EQ(tool.out, std::string("korvane ") + Korvane_GetVersion() + "\n");
    EXPECT_EQ(runTool({"sim", "--version"}).out, tool.out);
#ifdef KORVANE_SIM_PATH
    ToolProcess sim({"--version"}, {}, KORVANE_SIM_PATH);
    const ToolResult simulator = sim.finish(milliseconds(10000));
    EXPECT_EQ(simulator.exitCode, 0) << simulator.err;
    EXPECT_EQ(simulator.out, std::string("korvane-sim ") + KORVANE_VERSION_STRING + "\n");
#endif
}

// A device tree of its own (KORVANE_DEV_ROOT) whose entries link to real pseudo-terminals,
// removed again whatever the test does.
class FakeDeviceTree {
  public:
    FakeDeviceTree() {
        char pattern[] = "/tmp/korvane-dev-XXXXXX";
        if (mkdtemp(pattern) != nullptr) root_ = pattern;
    }
    ~FakeDeviceTree() {
        if (!root_.empty()) std::filesystem::remove_all(root_);
    }
    FakeDeviceTree(const FakeDeviceTree&) = delete;
    FakeDeviceTree& operator=(const FakeDeviceTree&) = delete;

    const std::string& root() const { return root_; }
    // A link at root/<name> (folders made as needed) to target.
    void link(const std::string& name, const std::string& target) const {
        const std::filesystem::path path = std::filesystem::path(root_) / name;
        std::filesystem::create_directories(path.parent_path());
        std::filesystem::create_symlink(target, path);
    }

  private:
    std::string root_;
};

TEST(KorvaneTool, PortsListsByIdLinksWithTheirDevicesThenTheNumberedDevices) {
    SKIP_WITHOUT_TOOL();
    FakeDeviceTree dev;
    ASSERT_FALSE(dev.root().empty());
    test::PtyPair usb0, usb2, usb10, acm0, serial;
    dev.link("ttyUSB0", usb0.slavePath());
    dev.link("ttyUSB10", usb10.slavePath());
    dev.link("ttyUSB2", usb2.slavePath());
    dev.link("ttyACM0", acm0.slavePath());
    dev.link("ttyS0", serial.slavePath());  // a built-in port: not a USB adapter
    std::ofstream(dev.root() + "/ttyUSB5") << "not a device\n";
    // udev's links are relative to their folder.
    dev.link("serial/by-id/usb-Maker_Board_B-if00-port0", "../../ttyUSB10");
    dev.link("serial/by-id/usb-Maker_Board_A-if00-port0", "../../ttyUSB0");
    dev.link("serial/by-id/usb-Gone_Adapter-if00", "../../ttyUSB7");

    const ToolResult result = runTool({"ports"}, {"KORVANE_DEV_ROOT=" + dev.root()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::string byId = dev.root() + "/serial/by-id/";
    const std::string a = byId + "usb-Maker_Board_A-if00-port0";
    const std::string b = byId + "usb-Maker_Board_B-if00-port0";
    const std::string gone = byId + "usb-Gone_Adapter-if00";
    const std::size_t width = std::max({a.size(), b.size(), gone.size()});
    const auto row = [&](const std::string& name, const std::string& detail) {
        return name + std::string(width - name.size() + 2, ' ') + detail + "\n";
    };
    EXPECT_EQ(result.out, row(gone, "-> " + dev.root() + "/ttyUSB7 (missing)") +
                              row(a, "-> " + dev.root() + "/ttyUSB0") +
                              row(b, "-> " + dev.root() + "/ttyUSB10") + dev.root() + "/ttyACM0\n" +
                              dev.root() + "/ttyUSB0\n" + dev.root() + "/ttyUSB2\n" + dev.root() +
                              "/ttyUSB10\n");

    // Each listed device is a name the other commands open: the simulator behind one of them.
    sim::Simulator simulator{sim::SimOptions{}};
    ASSERT_TRUE(simulator.start()) << simulator.error();
    dev.link("serial/by-id/usb-Maker_Board_C-if00-port0", simulator.devicePath());
    const ToolResult listed = runTool({"ports"}, {"KORVANE_DEV_ROOT=" + dev.root()});
    const std::string c = byId + "usb-Maker_Board_C-if00-port0";
    EXPECT_NE(listed.out.find(c + "  -> " + simulator.devicePath() + "\n"), std::string::npos)
        << listed.out;
    EXPECT_SUCCEEDS(runTool({"status", "--port", c}));
}

TEST(KorvaneTool, PortsSaysSoWhenThereAreNone) {
    SKIP_WITHOUT_TOOL();
    FakeDeviceTree dev;
    ASSERT_FALSE(dev.root().empty());
    for (const std::string& root : {dev.root(), dev.root() + "/missing"}) {
        const ToolResult result = runTool({"ports"}, {"KORVANE_DEV_ROOT=" + root});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, "no serial ports found\n");
    }
}

TEST(KorvaneTool, SimServesItsPortUntilSigtermAndRemovesItsLink) {
    SKIP_WITHOUT_TOOL();
    char directory[] = "/tmp/korvane-tool-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string link = std::string(directory) + "/port";
    const std::string uuid = "sim-subcommand-uuid-42";
    {
        ToolProcess simulator({"sim", "--link", link, "--uuid", uuid, "--homing-ms", "100"});
        ASSERT_TRUE(simulator.started());
        ASSERT_TRUE(simulator.waitForOutput("\n", milliseconds(5000)));
        const std::string port = simulator.out().substr(0, simulator.out().find('\n'));
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(port, target);

        const ToolResult answer = runTool({"uuid", "--port", link});
        EXPECT_SUCCEEDS(answer);
        EXPECT_EQ(answer.out, uuid + "\n");

        simulator.signal(SIGTERM);
        const ToolResult result = simulator.finish(milliseconds(5000));
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0) << result.err;
    }
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link outlived the simulator";
    unlink(link.c_str());
    rmdir(directory);
}

// Two simulators on one --link: the second must not take the link over (the first one's
// clients would lose it, and it would be deleted under them); a dead owner's link is free.
TEST(KorvaneTool, SimRefusesALinkThatAnotherLiveSimulatorServes) {
    SKIP_WITHOUT_TOOL();
    char directory[] = "/tmp/korvane-link-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string link = std::string(directory) + "/port";
    const auto pointsAt = [&link] {
        char target[256] = {};
        return readlink(link.c_str(), target, sizeof target - 1) > 0 ? std::string(target)
                                                                     : std::string();
    };
    const auto firstLine = [](const std::string& out) { return out.substr(0, out.find('\n')); };
    {
        ToolProcess first({"sim", "--link", link, "--uuid", "first-owner"});
        ASSERT_TRUE(first.waitForOutput("\n", milliseconds(5000)));
        const std::string firstPort = firstLine(first.out());

        const ToolResult second =
            runTool({"sim", "--link", link, "--uuid", "intruder"}, {}, milliseconds(5000));
        EXPECT_EQ(second.exitCode, 1) << second.err;
        EXPECT_NE(second.err.find(link + " belongs to another simulator"), std::string::npos)
            << second.err;
        EXPECT_TRUE(second.out.empty()) << second.out;
        EXPECT_EQ(pointsAt(), firstPort) << "the refused simulator touched the link";
        const ToolResult owner = runTool({"uuid", "--port", link});
        EXPECT_EQ(owner.out, "first-owner\n") << owner.err;

        // Killed, it removes nothing: the link and its lock file stay, and must not block.
        first.signal(SIGKILL);
        EXPECT_EQ(first.finish(milliseconds(5000)).exitCode, 128 + SIGKILL);
    }
    struct stat info {};
    ASSERT_EQ(lstat(link.c_str(), &info), 0) << "a killed simulator cannot remove its link";
    {
#ifdef KORVANE_SIM_PATH
        // korvane-sim and `korvane sim` share the link's owner, whichever of them runs.
        ToolProcess next({"--link", link, "--uuid", "next-owner"}, {}, KORVANE_SIM_PATH);
#else
        ToolProcess next({"sim", "--link", link, "--uuid", "next-owner"});
#endif
        ASSERT_TRUE(next.waitForOutput("\n", milliseconds(5000)));
        EXPECT_EQ(pointsAt(), firstLine(next.out()));
        const ToolResult owner = runTool({"uuid", "--port", link});
        EXPECT_EQ(owner.out, "next-owner\n") << owner.err;
        next.signal(SIGTERM);
        const ToolResult ended = next.finish(milliseconds(5000));
        EXPECT_EQ(ended.exitCode, 0) << ended.err;
    }
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link outlived its simulator";
    EXPECT_NE(lstat((link + ".lock").c_str(), &info), 0) << "the lock file outlived its simulator";
    {
        // After a clean exit the link is free at once.
        ToolProcess last({"sim", "--link", link});
        EXPECT_TRUE(last.waitForOutput("\n", milliseconds(5000))) << "the link stayed taken";
    }
    unlink(link.c_str());
    unlink((link + ".lock").c_str());
    rmdir(directory);
}

// A mistyped option is one line that names it; the whole help text would bury it.
TEST(KorvaneTool, SimNamesAnUnknownOptionOnOneLine) {
    SKIP_WITHOUT_TOOL();
    std::vector<std::pair<std::string, ToolResult>> runs;
    runs.emplace_back("korvane sim", runTool({"sim", "--bogus"}));
#ifdef KORVANE_SIM_PATH
    ToolProcess program({"--bogus"}, {}, KORVANE_SIM_PATH);
    runs.emplace_back("korvane-sim", program.finish(milliseconds(20000)));
#endif
    for (const auto& [name, result] : runs) {
        EXPECT_EQ(result.exitCode, 2) << name;
        const std::string& err = result.err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << name << "\n" << err;
        EXPECT_EQ(err.rfind(name + ": ", 0), 0u) << err;
        EXPECT_NE(err.find("--bogus"), std::string::npos) << err;
        EXPECT_NE(err.find("try --help"), std::string::npos) << err;
        EXPECT_TRUE(result.out.empty()) << name << "\n" << result.out;
    }
}

TEST(KorvaneTool, DemoCallsEveryExportAndPasses) {
    SKIP_WITHOUT_TOOL();
    const ToolResult demo = runTool({"demo"}, {}, milliseconds(60000));
    EXPECT_FALSE(demo.timedOut);
    EXPECT_EQ(demo.exitCode, 0) << demo.out << demo.err;
    EXPECT_NE(demo.out.find("\nSummary: PASS"), std::string::npos) << demo.out;
    for (const char* name : {"Korvane_Connect",
                             "Korvane_Disconnect",
                             "Korvane_GetLastError",
                             "Korvane_GetVersion",
                             "Korvane_GetState",
                             "Korvane_GetPosition",
                             "Korvane_GetSpeed",
                             "Korvane_GetLimits",
                             "Korvane_GetDeviceUUID",
                             "Korvane_JogAbs",
                             "Korvane_JogRel",
                             "Korvane_SetPos",
                             "Korvane_SetAcceleration",
                             "Korvane_EnableSoftLimits",
                             "Korvane_SetSoftLimitRange",
                             "Korvane_EmergencyStop",
                             "Korvane_FeedHold",
                             "Korvane_Resume",
                             "Korvane_Home",
                             "Korvane_VelocityStart",
                             "Korvane_VelocityStop"}) {
        EXPECT_NE(demo.out.find(std::string("\n  ") + name), std::string::npos) << name;
    }
    // Into a pipe: plain text, no colour codes.
    EXPECT_EQ(demo.out.find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace korvane
