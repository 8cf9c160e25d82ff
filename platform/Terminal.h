#pragma once
// The program's standard streams as a terminal.

namespace platform {

// True when standard output is a terminal, where a status line can be redrawn in place.
bool StandardOutputIsTerminal();

}  // namespace platform
