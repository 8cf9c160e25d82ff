#pragma once
// Hands the factories of the network stack's classes to the class-id table of nvSmartPtr.

// Registers every network class; calling it again changes nothing.
void nwRegisterClasses();
