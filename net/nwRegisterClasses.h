#pragma once
// The network stack's classes in the class-id registry of nvSmartPtr.

#include "net/nwClassIds.h"

// Registers every network class; again, it puts back a factory that was replaced.
void nwRegisterClasses();
