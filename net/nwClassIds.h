#pragma once
// Class ids of the network stack's classes (0x20xx), registered by nwRegisterClasses.

#include <cstdint>

#include "core/nvSmartPtr.h"

enum : uint32_t {
  CLSID_nwCAgentLayer = 0x2003,
  // The runtime core creates this one itself (a connection without layers), under its own name.
  CLSID_nwCStreamDispatcher = nvStreamDispatcherClassId,
  CLSID_nwCHTTPDownloader = 0x2009,
  CLSID_nwCHttpClientExLayer = 0x200F,
  CLSID_nwCCDNLocalClientLayer = 0x2015,
  CLSID_nwCSecureSocketClientLayer = 0x2017,
};
