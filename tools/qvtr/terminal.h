// The few console facts the tool needs, kept apart from the commands.
#pragma once

namespace tool {

// True when standard error is a terminal (progress lines go there only).
bool StderrIsTerminal();

}  // namespace tool
