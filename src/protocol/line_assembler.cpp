#include "protocol/line_assembler.h"

#include <cstring>

namespace korvane {

ReplyKind classifyReply(const char* line) {
    if (std::strncmp(line, "ok", 2) == 0) return ReplyKind::Ok;
    if (std::strncmp(line, "error:", 6) == 0) return ReplyKind::Error;
    if (line[0] == '<') return ReplyKind::StatusLine;
    return ReplyKind::Other;
}

}  // namespace korvane
