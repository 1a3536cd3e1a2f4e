// What the numbers in a controller's "error:N" and "ALARM:N" lines mean, so that a message
// tells the user what went wrong instead of handing them a number to look up.
#pragma once

#include <cstddef>

namespace korvane {

// The meaning of N in "error:N" or "ALARM:N"; null for a number not listed. Newer controllers
// send numbers beyond the list, which are then shown bare.
const char* errorCodeMeaning(long code);
const char* alarmCodeMeaning(long code);

// A reply line as the controller sent it, followed by " (meaning)" when it is exactly
// "error:N" or "ALARM:N" with a listed N. Any other line is kept as it is, so callers that
// match on the line's text keep working.
class ExplainedLine {
  public:
    explicit ExplainedLine(const char* line);
    const char* c_str() const { return text_; }

    static constexpr std::size_t kSize = 256;

  private:
    char text_[kSize];
};

}  // namespace korvane
