#pragma once

#include <cstdint>

namespace ovan {

// How long a download waits on a server: for the response headers and for each piece of the body, and
// the slowest body it accepts, another paceWindowBytes within every paceWindowMs. The receive timeout
// bounds only the wait for one piece, so a server that drips bytes would hold a run for hours.
struct NetworkWindows {
    unsigned long receiveTimeoutMs = 20000;
    uint64_t paceWindowMs = 60000;
    uint64_t paceWindowBytes = 64 * 1024;
};

}  // namespace ovan
