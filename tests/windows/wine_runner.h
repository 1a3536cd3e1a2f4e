// The Linux side of the Windows tests: a private Wine prefix under the cross-build folder,
// COM ports that are symlinks to pseudo-terminals, and korvane_wine_host.exe runs with a
// time limit. Header-only, because the cross build owns this folder's CMakeLists.txt and the
// native test program only includes it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace korvane::test {

// What one program run left behind.
struct ProgramRun {
    bool started = false;
    bool timedOut = false;
    int exitCode = -1;  // -1 when killed or not started
    std::chrono::milliseconds elapsed{0};
    std::string output;  // stdout and stderr together

    // The value the host printed as "= name value", or "" when it printed none.
    std::string value(const std::string& name) const {
        std::istringstream lines(output);
        const std::string prefix = "= " + name + " ";
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows text mode
            if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
        }
        return "";
    }
};

class WineRunner {
  public:
    // crossBuild: the folder of the MinGW build, holding tests/windows/korvane_wine_host.exe.
    explicit WineRunner(std::filesystem::path crossBuild)
        : build_(std::move(crossBuild)),
          prefix_(build_ / "wine-prefix"),
          logs_(build_ / "wine-logs") {}

    std::filesystem::path hostExe() const {
        return build_ / "tests" / "windows" / "korvane_wine_host.exe";
    }
    const std::filesystem::path& prefix() const { return prefix_; }

    // Makes the prefix on first use (wineboot takes about ten seconds) and reuses it after
    // that; test programs running side by side wait for each other here. Then starts a
    // wine server that outlives each host run by a while, so that the runs of one test
    // program share its start-up. Empty on success, otherwise what went wrong.
    std::string prepare() {
        std::error_code ec;
        std::filesystem::create_directories(logs_, ec);
        if (ec) return "cannot create " + logs_.string() + ": " + ec.message();
        if (!std::filesystem::exists(hostExe())) {
            return hostExe().string() + " is missing; build the cross build first";
        }
        const int lock = ::open((build_ / "wine-prefix.lock").c_str(), O_RDWR | O_CREAT, 0644);
        if (lock < 0) return "cannot open the prefix lock: " + std::string(std::strerror(errno));
        ::flock(lock, LOCK_EX);
        std::string error;
        const std::filesystem::path ready = prefix_ / ".korvane-ready";
        if (!std::filesystem::exists(ready)) {
            // A prefix without the mark is what an interrupted wineboot left: start afresh.
            std::filesystem::remove_all(prefix_, ec);
            const ProgramRun boot =
                run({"wineboot", "-i"}, logs_ / "wineboot.log", std::chrono::seconds(180));
            if (boot.exitCode != 0) {
                error = "wineboot -i failed (see " + (logs_ / "wineboot.log").string() + ")";
            } else {
                std::ofstream(ready) << "wineboot done\n";
                // wineboot's own server would stand in for the lasting one started below;
                // let it finish first.
                run({"wineserver", "-w"}, logs_ / "wineserver-wait.log", std::chrono::seconds(60));
            }
        }
        ::flock(lock, LOCK_UN);
        ::close(lock);
        if (!error.empty()) return error;
        // A server that Wine starts by itself quits the moment its last client ends (Debian's
        // wrapper gives it "-p0"), and a host run that connects just then dies with "recvmsg:
        // Connection reset by peer". "-p20" (no space, and after the wrapper's, so it wins)
        // keeps this one 20 s after its last client. It daemonises, so this returns at once;
        // when a server already runs, this one just exits.
        run({"wineserver", "-p20"}, logs_ / "wineserver.log", std::chrono::seconds(30));
        return "";
    }

    // COM<n> of the prefix becomes the device (a pty slave path).
    std::string linkComPort(int n, const std::string& device) const {
        const std::filesystem::path link = comLink(n);
        std::error_code ec;
        std::filesystem::remove(link, ec);
        std::filesystem::create_symlink(device, link, ec);
        return ec ? "cannot link " + link.string() + ": " + ec.message() : "";
    }
    void unlinkComPort(int n) const {
        std::error_code ec;
        std::filesystem::remove(comLink(n), ec);
    }

    // wine korvane_wine_host.exe <scenario> COM<n>, killed when it outlives timeout.
    ProgramRun runHost(const std::string& scenario, int comPort,
                       std::chrono::seconds timeout) const {
        const std::string port = "COM" + std::to_string(comPort);
        return run({"wine", hostExe().string(), scenario, port},
                   logs_ / (scenario + "-" + port + ".log"), timeout);
    }

    // wine <program of the cross build, relative to its folder> args..., killed when it
    // outlives timeout; its output goes to wine-logs/<logName>.log as well.
    ProgramRun runProgram(const std::filesystem::path& program,
                          const std::vector<std::string>& args, const std::string& logName,
                          std::chrono::seconds timeout) const {
        std::vector<std::string> command = {"wine", (build_ / program).string()};
        command.insert(command.end(), args.begin(), args.end());
        return run(command, logs_ / (logName + ".log"), timeout);
    }

    // A Linux program with the same time limit and log, to hold its output against a
    // Windows program's.
    ProgramRun runNative(const std::vector<std::string>& command, const std::string& logName,
                         std::chrono::seconds timeout) const {
        return run(command, logs_ / (logName + ".log"), timeout);
    }

  private:
    std::filesystem::path comLink(int n) const {
        return prefix_ / "dosdevices" / ("com" + std::to_string(n));
    }

    // The environment of every Wine process: this prefix, no debug channels, no display,
    // and no Mono or Gecko installers during wineboot.
    std::vector<std::string> environment() const {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name == "WINEPREFIX" || name == "WINEDEBUG" || name == "WINEDLLOVERRIDES" ||
                name == "DISPLAY" || name == "WAYLAND_DISPLAY") {
                continue;
            }
            env.push_back(entry);
        }
        env.push_back("WINEPREFIX=" + prefix_.string());
        env.push_back("WINEDEBUG=-all");
        env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
        return env;
    }

    // Runs a program from PATH in a process group of its own, its output into log; on
    // time-out the whole group is killed.
    ProgramRun run(const std::vector<std::string>& args, const std::filesystem::path& log,
                   std::chrono::seconds timeout) const {
        ProgramRun result;
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const std::vector<std::string> env = environment();
        std::vector<char*> envp;
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);

        const auto start = std::chrono::steady_clock::now();
        pid_t pid = -1;
        const int spawned =
            posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (spawned != 0) {
            result.output = "cannot start " + args[0] + ": " + std::strerror(spawned);
            return result;
        }
        result.started = true;

        int status = 0;
        for (;;) {
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) break;
            if (std::chrono::steady_clock::now() - start > timeout) {
                result.timedOut = true;
                ::kill(-pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        if (!result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
        std::ifstream in(log, std::ios::binary);
        result.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return result;
    }

    std::filesystem::path build_;
    std::filesystem::path prefix_;
    std::filesystem::path logs_;
};

}  // namespace korvane::test
