// A pseudo-terminal pair: the library opens the slave path as its serial port, the test
// plays the controller on the master side.
#pragma once

#include <string>

namespace korvane::test {

class PtyPair {
  public:
    enum class Settings {
        Raw,             // no echo, no newline translation, no flow control
        SerialDefaults,  // what Linux gives a serial port it opens for the first time:
                         // canonical mode, echo, ICRNL and IXON software flow control
    };

    // openpty with the settings given; aborts the test on failure.
    explicit PtyPair(Settings settings = Settings::Raw);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    std::wstring slavePathWide() const;

    // Closes the master: the library's reads and writes then fail as with an unplugged
    // adapter. The slave stays open on our side until destruction. With a ScriptedController
    // on the master, use its unplug() instead, which stops it first.
    void closeMaster();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace korvane::test
