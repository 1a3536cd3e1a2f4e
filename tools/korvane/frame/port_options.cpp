#include "frame/port_options.h"

#include <limits>

#include "frame/connection.h"

namespace korvane::tool {

PortOptions readPortOptions(OptionReader& read) {
    PortOptions options;
    options.port = read.text("--port");
    options.baud = read.integer("--baud", kDefaultBaud, 1, std::numeric_limits<int>::max());
    return options;
}

}  // namespace korvane::tool
