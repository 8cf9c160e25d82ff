#pragma once
// The runtime core's classes in the class-id registry of nvSmartPtr.

#include <cstdint>
#include <span>

#include "core/nvSmartPtr.h"

struct nvClassEntry {
  uint32_t classId;
  nvClassFactory factory;
};

// Every class of the runtime core with its factory (the registry's starting content).
std::span<const nvClassEntry> cpCoreClasses();

// Registers every class of the runtime core; again, it puts back a factory that was replaced.
void cpRegisterClasses();
