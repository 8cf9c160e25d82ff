#pragma once
// The engine's version text ("FileVersion"). It is also kept in the program's ELF section
// ".qtx_version", where the self-updater reads it without starting the program.

namespace engine {

const char* EngineVersion();

}  // namespace engine
