#pragma once
// Cuts a received byte stream into messages and hands each to its handler (class id 0x2006).
// Every layer embeds one; a connection without layers uses one alone.
//
// Framed protocols register one message handler per (group, type); each frame is delivered whole,
// with its padded payload. Raw protocols (HTTP, TLS) install a raw handler instead, which sees the
// bytes as they are and says how many it consumed.

#include <cstdint>
#include <vector>

#include "core/nvIUnknown.h"
#include "core/nwIQoSNetStack.h"
#include "protocol/nwFrame.h"

using nwMessageHandler = nvMessageHandler;
// Returns the bytes consumed: 0 keeps them for later, a negative value is a protocol error.
using nwRawHandler = nvRawHandler;

class nwCStreamDispatcher : public nvTRefCounted<nvIStreamDispatcher> {
 public:
  nwCStreamDispatcher() = default;
  ~nwCStreamDispatcher() override = default;

  // Appends a handler for frames of `group` and `type`. NW_E_FAIL for a null handler.
  cpStatus AddHandler(uint16_t group, int32_t type, nwMessageHandler handler, void* userData) override;
  // *consumed = Process(data, length). NW_E_FAIL for a null `consumed`.
  cpStatus Dispatch(const char* data, int32_t length, int32_t* consumed) override;

  // Appends a raw handler and stops parsing frame headers from now on. A null handler is ignored.
  void SetRawHandler(nwRawHandler handler, void* userData);
  // Ends dispatching for good; a running Process returns after the current handler.
  void StopDispatch() { stopped_ = true; }

  // Dispatches message after message; returns the bytes consumed (a trailing incomplete message
  // stays unconsumed) or the first negative result.
  int32_t Process(const char* data, int32_t length);
  // Dispatches one message: its size, 0 when it is incomplete, -1 when no handler takes it or its
  // length field exceeds kFrameMaxPayload.
  int32_t ProcessOne(const char* data, int32_t length);

  bool IsStopped() const { return stopped_; }
  bool IsRawMode() const { return rawMode_; }
  const nwFrameHeader& CurrentHeader() const { return header_; }

 private:
  struct HandlerEntry {
    bool typed;  // a message handler; otherwise the raw handler
    uint16_t group;
    int32_t type;
    nwMessageHandler message;
    nwRawHandler raw;
    void* userData;
  };

  nwFrameHeader header_;
  std::vector<HandlerEntry> handlers_;  // registration order
  bool rawMode_ = false;
  bool stopped_ = false;
};
