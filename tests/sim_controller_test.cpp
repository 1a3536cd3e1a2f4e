// The simulated controller's habits that real controllers of this family show: how lines are
// split and read, what a deceleration, a late cancel, a latched error or a boot do to the
// input, and what the options of korvane-sim change. The machine model is driven with made-up
// times where it can be; what needs the input buffer runs over the simulator's pty with a
// plain writer and reader on the slave side.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "command_line.h"
#include "input_splitter.h"
#include "machine_model.h"
#include "simulator.h"
#include "support/sim_session.h"

namespace {

using namespace std::chrono_literals;
using korvane::sim::CommandLine;
using korvane::sim::EmergencyStopLine;
using korvane::sim::InputSplitter;
using korvane::sim::MachineModel;
using korvane::sim::MachineState;
using korvane::sim::SimOptions;
using korvane::sim::Simulator;
using korvane::test::eventually;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

const Lines kOk{"ok"};

// ---------------------------------------------------------------------------------------
// Line ends

// The lines the splitter makes of `bytes`, with "<rt:X>" for a real-time byte.
Lines split(std::string_view bytes, bool crLfTwoEnds) {
    InputSplitter splitter;
    splitter.setCrLfTwoLineEnds(crLfTwoEnds);
    Lines events;
    for (const char c : bytes) {
        const InputSplitter::Event event = splitter.push(static_cast<unsigned char>(c));
        if (event.kind == InputSplitter::Event::Kind::Line) events.push_back(event.line);
        if (event.kind == InputSplitter::Event::Kind::Realtime) {
            events.push_back(std::string("<rt:") + static_cast<char>(event.byte) + ">");
        }
    }
    return events;
}

TEST(SimLineEnds, CrLfIsOneLineEndAndALoneLineEndIsAnEmptyLine) {
    EXPECT_EQ(split("X\r\n", false), Lines{"X"});
    EXPECT_EQ(split("\r\n", false), Lines{""});
    EXPECT_EQ(split("A\rB\nC\r\n\r\n", false), (Lines{"A", "B", "C", ""}));
    EXPECT_EQ(split("A\n\n", false), (Lines{"A", ""}));
    EXPECT_EQ(split("A\r\r\n", false), (Lines{"A", ""}));
    // A real-time byte between CR and LF is taken out of the stream: still one line end.
    EXPECT_EQ(split("A\r?\n", false), (Lines{"A", "<rt:?>"}));
}

TEST(SimLineEnds, WithTwoLineEndsCrLfEndsALineAndAnEmptyOne) {
    EXPECT_EQ(split("X\r\n", true), (Lines{"X", ""}));
    EXPECT_EQ(split("\r\n", true), (Lines{"", ""}));
}

TEST(SimLineEnds, ADiscardedPartialLineIsGone) {
    InputSplitter splitter;
    for (const char c : std::string_view("$MPos=x5")) splitter.push(static_cast<unsigned char>(c));
    splitter.discardPartialLine();
    Lines lines;
    for (const char c : std::string_view("$X\r\n")) {
        const auto event = splitter.push(static_cast<unsigned char>(c));
        if (event.kind == InputSplitter::Event::Kind::Line) lines.push_back(event.line);
    }
    EXPECT_EQ(lines, Lines{"$X"});
}

// ---------------------------------------------------------------------------------------
// The machine model with made-up times

class SimHabits : public ::testing::Test {
  protected:
    const Clock::time_point t0{};
    MachineModel model_{"uuid", t0};

    // A jog of x at 1000 units per minute with an acceleration of 10 units per second
    // squared: its deceleration takes v / a = 1.667 s.
    void startSlowStoppingJog(Clock::time_point at) {
        ASSERT_EQ(model_.executeLine("$axes/x/acceleration_mm_per_sec2=10", at), kOk);
        ASSERT_EQ(model_.executeLine("$J=G91 x1000 F1000", at), kOk);
    }
};

TEST_F(SimHabits, NoLineIsReadWhileAJogDeceleratesAfterACancel) {
    startSlowStoppingJog(t0);
    EXPECT_TRUE(model_.readsLines());
    model_.executeRealtime(0x85, t0 + 1s);
    EXPECT_FALSE(model_.readsLines());
    const auto end = model_.decelerationEnd();
    ASSERT_TRUE(end.has_value());
    EXPECT_NEAR(std::chrono::duration<double>(*end - (t0 + 1s)).count(), 1000.0 / 60.0 / 10.0,
                1e-3);
    model_.advance(t0 + 2500ms);
    EXPECT_EQ(model_.snapshot(t0 + 2500ms).state, MachineState::Jog);
    EXPECT_FALSE(model_.readsLines());
    model_.advance(t0 + 2700ms);
    EXPECT_EQ(model_.snapshot(t0 + 2700ms).state, MachineState::Idle);
    EXPECT_TRUE(model_.readsLines());
    ASSERT_TRUE(model_.lastDecelerationEnd().has_value());
    EXPECT_NEAR(std::chrono::duration<double>(*model_.lastDecelerationEnd() - t0).count(),
                1.0 + 1000.0 / 600.0, 1e-3);
}

TEST_F(SimHabits, NoLineIsReadWhileAHeldJogDecelerates) {
    startSlowStoppingJog(t0);
    model_.executeRealtime('!', t0 + 1s);
    EXPECT_EQ(model_.snapshot(t0 + 2s).state, MachineState::Hold);
    EXPECT_FALSE(model_.readsLines());
    model_.advance(t0 + 3s);
    EXPECT_TRUE(model_.readsLines());
}

TEST_F(SimHabits, ALateCancelMakesTheMachineDeafUntilAResume) {
    model_.setDeafAfterLateCancel(true);
    startSlowStoppingJog(t0);
    model_.executeRealtime(0x85, t0 + 1s);  // the deceleration ends at 2.667 s
    model_.executeRealtime(0x85, t0 + 2s);  // 667 ms before its end: too early
    EXPECT_FALSE(model_.deaf());
    model_.executeRealtime(0x85, t0 + 2600ms);  // in the last 100 ms
    EXPECT_TRUE(model_.deaf());

    const auto later = t0 + 10s;
    EXPECT_EQ(model_.snapshot(later).state, MachineState::Idle);
    EXPECT_EQ(model_.executeRealtime('?', later)[0].rfind("<Idle|", 0), 0u);
    EXPECT_FALSE(model_.readsLines());
    model_.executeRealtime('~', later);
    EXPECT_FALSE(model_.deaf());
    EXPECT_TRUE(model_.readsLines());
}

TEST_F(SimHabits, ACancelJustAfterTheDecelerationEndedAlsoMakesItDeaf) {
    model_.setDeafAfterLateCancel(true);
    startSlowStoppingJog(t0);
    model_.executeRealtime(0x85, t0 + 1s);
    model_.executeRealtime(0x85, t0 + 2680ms);  // 13 ms after the end
    EXPECT_TRUE(model_.deaf());
    model_.executeRealtime('~', t0 + 3s);

    ASSERT_EQ(model_.executeLine("$J=G91 x1000 F1000", t0 + 4s), kOk);
    model_.executeRealtime(0x85, t0 + 5s);
    model_.executeRealtime(0x85, t0 + 6720ms);  // 53 ms after the end: heard as usual
    EXPECT_FALSE(model_.deaf());
}

TEST_F(SimHabits, WithoutTheOptionALateCancelLeavesTheMachineListening) {
    startSlowStoppingJog(t0);
    model_.executeRealtime(0x85, t0 + 1s);
    model_.executeRealtime(0x85, t0 + 2600ms);
    EXPECT_FALSE(model_.deaf());
    model_.advance(t0 + 3s);
    EXPECT_TRUE(model_.readsLines());
}

TEST_F(SimHabits, EmergencyStopLineCanBeUnknownOrASettingsListing) {
    ASSERT_EQ(model_.executeLine("$J=G91 x100 F600", t0), kOk);
    model_.setEmergencyStopLine(EmergencyStopLine::Unknown);
    EXPECT_EQ(model_.executeLine("$ES", t0 + 100ms), Lines{"error:3"});
    EXPECT_EQ(model_.snapshot(t0 + 200ms).state, MachineState::Jog);

    model_.setEmergencyStopLine(EmergencyStopLine::ListsSettings);
    const Lines listing = model_.executeLine("$ES", t0 + 200ms);
    ASSERT_GE(listing.size(), 70u);
    EXPECT_EQ(listing.back(), "ok");
    std::size_t bytes = 0;
    for (std::size_t i = 0; i + 1 < listing.size(); ++i) {
        bytes += listing[i].size() + 2;
        EXPECT_NE(listing[i].find('='), std::string::npos) << listing[i];
        EXPECT_EQ(listing[i][0], '$') << listing[i];
    }
    EXPECT_GE(bytes, 6000u);
    EXPECT_NE(std::find(listing.begin(), listing.end(), "$axes/x/acceleration_mm_per_sec2=500.000"),
              listing.end());
    EXPECT_EQ(model_.snapshot(t0 + 300ms).state, MachineState::Jog);

    model_.setEmergencyStopLine(EmergencyStopLine::Stops);
    EXPECT_EQ(model_.executeLine("$ES", t0 + 300ms), kOk);
    EXPECT_EQ(model_.snapshot(t0 + 400ms).state, MachineState::Alarm);
}

TEST_F(SimHabits, HoldCanLeaveAJogAloneButStillHoldsProgramMotion) {
    model_.setHoldIgnoredWhileJogging(true);
    ASSERT_EQ(model_.executeLine("$J=G91 x100 F600", t0), kOk);
    model_.executeRealtime('!', t0 + 1s);
    const auto snap = model_.snapshot(t0 + 2s);
    EXPECT_EQ(snap.state, MachineState::Jog);
    EXPECT_NEAR(snap.positions[0], 20.0, 1e-9);
    model_.executeRealtime(0x85, t0 + 2s);
    EXPECT_EQ(model_.snapshot(t0 + 3s).state, MachineState::Idle);

    ASSERT_EQ(model_.executeLine("G1 y10 F600", t0 + 3s), kOk);
    model_.executeRealtime('!', t0 + 3500ms);
    EXPECT_EQ(model_.snapshot(t0 + 5s).state, MachineState::Hold);
}

TEST_F(SimHabits, LatchedErrorsRefuseMotionUntilSomethingClearsThem) {
    model_.setLatchErrors(true);
    EXPECT_EQ(model_.executeLine("G1 x3", t0), Lines{"error:22"});
    EXPECT_EQ(model_.executeLine("$J=G91 x1 F600", t0), Lines{"error:22"});
    EXPECT_EQ(model_.executeLine("G0 x1", t0), Lines{"error:22"});
    EXPECT_EQ(model_.snapshot(t0 + 1s).state, MachineState::Idle);
    EXPECT_EQ(model_.snapshot(t0 + 1s).positions[0], 0.0);

    // Each way out: an empty line, a '$' command that succeeds, a cancel, a soft reset.
    EXPECT_EQ(model_.executeLine("", t0 + 1s), kOk);
    EXPECT_EQ(model_.executeLine("G0 x1", t0 + 1s), kOk);

    EXPECT_EQ(model_.executeLine("$nope", t0 + 2s), Lines{"error:3"});
    EXPECT_EQ(model_.executeLine("G0 x2", t0 + 2s), Lines{"error:3"});  // the latest error
    EXPECT_EQ(model_.executeLine("$device_uuid", t0 + 2s), (Lines{"device_uuid=uuid", "ok"}));
    EXPECT_EQ(model_.executeLine("G0 x2", t0 + 2s), kOk);

    EXPECT_EQ(model_.executeLine("G7", t0 + 3s), Lines{"error:1"});
    model_.executeRealtime(0x85, t0 + 3s);
    EXPECT_EQ(model_.executeLine("G0 x3", t0 + 3s), kOk);

    EXPECT_EQ(model_.executeLine("G7", t0 + 4s), Lines{"error:1"});
    model_.executeRealtime(0x18, t0 + 4s);
    EXPECT_EQ(model_.executeLine("$J=G91 x1 F600", t0 + 4s), kOk);
}

TEST_F(SimHabits, WithoutLatchingAnErrorConcernsOnlyItsLine) {
    EXPECT_EQ(model_.executeLine("G1 x3", t0), Lines{"error:22"});
    EXPECT_EQ(model_.executeLine("$J=G91 x1 F600", t0), kOk);
}

// ---------------------------------------------------------------------------------------
// Over the pty

class SimInput : public ::testing::Test {
  protected:
    void start(SimOptions options = {}) {
        sim_ = std::make_unique<Simulator>(options);
        ASSERT_TRUE(sim_->start()) << sim_->error();
        fd_ = ::open(sim_->devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        if (fd_ >= 0) ::close(fd_);
    }

    void send(const std::string& bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Reads until `count` lines (without CR LF) have come, or `limit` passed.
    Lines readLines(std::size_t count, std::chrono::milliseconds limit = 3000ms) {
        Lines lines;
        const auto deadline = Clock::now() + limit;
        while (lines.size() < count && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char c = 0;
            if (::read(fd_, &c, 1) != 1) continue;
            if (c == '\n') {
                lines.push_back(partial_);
                partial_.clear();
            } else if (c != '\r') {
                partial_ += c;
            }
        }
        return lines;
    }

    // The next line, which must be a status report; its state word.
    std::string queryState() {
        send("?");
        const Lines lines = readLines(1);
        if (lines.empty() || lines[0].size() < 2 || lines[0][0] != '<') return "(no report)";
        return lines[0].substr(1, lines[0].find_first_of("|:") - 1);
    }

    std::unique_ptr<Simulator> sim_;
    int fd_ = -1;
    std::string partial_;
};

TEST_F(SimInput, AnEmptyLineIsAnsweredAndCrLfEndsOneLine) {
    start();
    send("\r\n");
    EXPECT_EQ(readLines(1), kOk);
    send("$MPos=x1\r\n");
    EXPECT_EQ(readLines(1), kOk);
    // Had CR LF made two lines, a second "ok" would come before the report.
    EXPECT_EQ(queryState(), "Idle");
    EXPECT_EQ(sim_->receivedLines(), Lines{"$MPos=x1"});
}

// The ghost jog: a jog line written right behind the cancel is not read while the machine
// slows down, so it is not taken before the machine stands; then it runs.
TEST_F(SimInput, AJogLineWrittenDuringTheDecelerationRunsOnceTheMachineStands) {
    start();
    send("$axes/x/acceleration_mm_per_sec2=10\r\n$J=G91 x1000 F1000\r\n");
    ASSERT_EQ(readLines(2), (Lines{"ok", "ok"}));
    ASSERT_TRUE(eventually([&] { return sim_->state() == MachineState::Jog; }));
    send("\x85$J=G91 x1 F1000\r\n");
    std::this_thread::sleep_for(300ms);  // about 1.7 s of deceleration left
    EXPECT_EQ(sim_->unreadLines(), 1u);
    EXPECT_EQ(sim_->jogsSinceLastCancel(), 0u);
    EXPECT_EQ(queryState(), "Jog");  // the report overtakes the unread line

    EXPECT_EQ(readLines(1, 5000ms), kOk);
    EXPECT_EQ(sim_->jogsSinceLastCancel(), 1u);
    EXPECT_EQ(sim_->unreadLines(), 0u);
}

TEST_F(SimInput, TheRealtimeObserverSeesEachStopByteWhenItArrivesEvenBehindUnreadLines) {
    SimOptions options;
    options.lineParseDelayMs = 400;  // the line is still unread when the stop bytes come
    start(options);
    std::mutex mutex;
    std::vector<std::pair<unsigned char, Clock::time_point>> seen;
    sim_->setRealtimeObserver([&](unsigned char byte, Clock::time_point at) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.emplace_back(byte, at);
    });
    const auto before = Clock::now();
    send("$MPos=x1\r\n\x85!");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size() == 2;
    }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(seen[0].first, 0x85);
        EXPECT_EQ(seen[1].first, '!');
        EXPECT_GE(seen[0].second, before);
        // Taken as the bytes came, not when the line ahead of them was read.
        EXPECT_LT(seen[1].second, before + 300ms);
    }
    sim_->setRealtimeObserver({});
    send("?");
    EXPECT_FALSE(readLines(1).empty());
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(SimInput, ADeafMachineAnswersQueriesAndReadsItsLinesAfterAResume) {
    SimOptions options;
    options.deafAfterLateCancel = true;
    start(options);
    send("$J=G91 x100 F600\r\n");
    ASSERT_EQ(readLines(1), kOk);
    ASSERT_TRUE(eventually([&] { return sim_->state() == MachineState::Jog; }));
    // The first cancel starts a deceleration of 20 ms; the second comes in its last 100 ms.
    send("\x85\x85");
    ASSERT_TRUE(eventually([&] { return sim_->deaf(); }));
    send("$J=G91 x1 F600\r\n");
    EXPECT_EQ(queryState(), "Idle");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sim_->unreadLines(), 1u);
    EXPECT_EQ(queryState(), "Idle");  // no "ok" came before the report

    send("~");
    EXPECT_EQ(readLines(1), kOk);
    EXPECT_FALSE(sim_->deaf());
    EXPECT_EQ(sim_->jogsSinceLastCancel(), 1u);
}

TEST_F(SimInput, ACancelAtRestCanDiscardTheUnreadInput) {
    SimOptions options;
    options.cancelDiscardsInput = true;
    options.lineParseDelayMs = 300;
    start(options);
    send("$J=G91 x1 F600\r\n$MPos=x5\x85$MPos=y2\r\n");
    EXPECT_EQ(readLines(1), kOk);  // the last line's only
    EXPECT_EQ(queryState(), "Idle");
    const auto positions = sim_->positions();
    EXPECT_EQ(positions[0], 0.0);
    EXPECT_EQ(positions[1], 2.0);
    EXPECT_EQ(sim_->jogsSinceLastCancel(), 0u);
}

TEST_F(SimInput, ABootingControllerIgnoresInputThenPrintsItsBanner) {
    SimOptions options;
    options.bootMs = 400;
    start(options);
    send("?$device_uuid\r\n");
    EXPECT_EQ(readLines(1), Lines{MachineModel::kBanner});
    EXPECT_EQ(queryState(), "Idle");  // not an answer to the uuid query before it
    EXPECT_EQ(sim_->receivedLines(), Lines{"$device_uuid"});
    EXPECT_EQ(sim_->realtimeCount('?'), 2u);
}

TEST_F(SimInput, TheParseDelayCanMakeEveryReplySecondsLate) {
    start();
    sim_->setLineParseDelayMs(1500);
    const auto sent = Clock::now();
    send("$MPos=x1\r\n");
    EXPECT_TRUE(readLines(1, 1000ms).empty());
    EXPECT_EQ(readLines(1, 3000ms), kOk);
    EXPECT_GE(Clock::now() - sent, 1400ms);
}

TEST_F(SimInput, LatchedErrorsOverTheWire) {
    SimOptions options;
    options.latchErrors = true;
    start(options);
    send("G1 x3\r\n$J=G91 x1 F600\r\n\r\n$J=G91 x1 F600\r\n");
    EXPECT_EQ(readLines(4), (Lines{"error:22", "error:22", "ok", "ok"}));
}

// ---------------------------------------------------------------------------------------
// The command line

bool parse(std::vector<std::string_view> words, CommandLine* out, std::string* error) {
    return korvane::sim::parseCommandLine(words, out, error);
}

TEST(SimCommandLine, EveryNewOptionReachesItsField) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(parse(
        {"--deaf-late-cancel", "--es-unknown", "--hold-ignored-while-jogging", "--latch-errors",
         "--cancel-discards-input", "--boot-ms", "1200", "--parse-delay-ms=4000", "-v"},
        &line, &error))
        << error;
    EXPECT_TRUE(line.options.deafAfterLateCancel);
    EXPECT_TRUE(line.options.esUnknown);
    EXPECT_FALSE(line.options.esListsSettings);
    EXPECT_TRUE(line.options.holdIgnoredWhileJogging);
    EXPECT_TRUE(line.options.latchErrors);
    EXPECT_TRUE(line.options.cancelDiscardsInput);
    EXPECT_EQ(line.options.bootMs, 1200);
    EXPECT_EQ(line.options.lineParseDelayMs, 4000);
    EXPECT_TRUE(line.verbose);

    CommandLine other;
    ASSERT_TRUE(parse({"--es-lists-settings", "--ok-empty-lines"}, &other, &error)) << error;
    EXPECT_TRUE(other.options.esListsSettings);
    EXPECT_TRUE(other.options.okOnEmptyLine);
}

TEST(SimCommandLine, BadWordsAreRefusedWithTheirName) {
    CommandLine line;
    std::string error;
    EXPECT_FALSE(parse({"--es-unknown", "--es-lists-settings"}, &line, &error));
    EXPECT_FALSE(parse({"--boot-ms", "-3"}, &line, &error));
    EXPECT_NE(error.find("--boot-ms"), std::string::npos) << error;
    EXPECT_FALSE(parse({"--latch-errors=yes"}, &line, &error));
    EXPECT_FALSE(parse({"--parse-delay-ms"}, &line, &error));
    EXPECT_FALSE(parse({"--no-such-option"}, &line, &error));
    EXPECT_NE(error.find("--no-such-option"), std::string::npos) << error;
}

#ifdef KORVANE_TOOL_PATH
std::string runTool(const std::string& arguments, int* exitCode) {
    const std::string command = std::string(KORVANE_TOOL_PATH) + " " + arguments + " 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    if (pipe == nullptr) return output;
    char buffer[512];
    while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, got);
    }
    const int status = ::pclose(pipe);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

// `korvane sim` reads its words with korvane-sim's parser: every option, the same checks.
TEST(SimCommandLine, TheToolsSimSubcommandTakesTheSameOptions) {
    int exitCode = 0;
    const std::string help = runTool("sim --help", &exitCode);
    EXPECT_EQ(exitCode, 0) << help;
    EXPECT_NE(help.find(korvane::sim::optionsHelpText()), std::string::npos) << help;

    const std::string refused = runTool("sim --es-unknown --es-lists-settings", &exitCode);
    EXPECT_EQ(exitCode, 2) << refused;
    EXPECT_NE(refused.find("exclude each other"), std::string::npos) << refused;
}
#endif

}  // namespace
