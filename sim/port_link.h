// The --link symlink to the simulator's device, owned for the simulator's life.
#pragma once

#include <string>

namespace korvane::sim {

// Owns PATH (a symlink to the device) through PATH.lock, a file beside it on which the owner
// holds an exclusive flock. The kernel drops the lock when its holder dies however it dies,
// so a link left behind by a killed simulator is free for the next one, while one that a
// live simulator serves is refused: taking it over would cut that simulator's clients off
// and delete the link under them when this one ends.
class PortLink {
  public:
    PortLink() = default;
    ~PortLink() { release(); }
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    // Takes the lock, then points path at target (replacing a symlink left behind, never any
    // other file). False, with nothing left behind, when another live simulator owns path or
    // a file operation fails; error() says which.
    bool claim(const std::string& path, const std::string& target);
    // Removes the link if it still points at the target, then the lock file, then unlocks.
    void release();

    const std::string& error() const { return error_; }

  private:
    bool lock();

    std::string path_;
    std::string lockPath_;
    std::string target_;
    int lockFd_ = -1;
    bool linked_ = false;
    std::string error_;
};

}  // namespace korvane::sim
