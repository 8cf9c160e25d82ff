#include "engine/EngineVersion.h"

#ifndef ORBA_ENGINE_VERSION
#error "the build sets ORBA_ENGINE_VERSION from the project version"
#endif

namespace engine {

// `used` keeps the section in the program even where nothing else would reference it; the reader
// takes the text up to its first NUL.
__attribute__((section(".qtx_version"), used)) static const char kVersionSection[] = ORBA_ENGINE_VERSION;

const char* EngineVersion() { return kVersionSection; }

}  // namespace engine
