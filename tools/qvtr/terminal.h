// The few console facts the tool needs, kept apart from the commands.
#pragma once

namespace tool {

// True when standard error is a terminal (progress lines go there only).
bool StderrIsTerminal();
// Standard output without line-end translation, for output that must be
// byte for byte the same on every platform.
void UseBinaryStdout();

}  // namespace tool
