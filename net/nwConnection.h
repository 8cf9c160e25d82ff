#pragma once
// Opening and letting go of a connection, the same for every user: a connection context opened,
// configured and given its protocol layer in one step (for HTTP also the listener, the URL, the
// extra headers and the GET), and the one tear-down (listener detached so that closing reports
// nothing, closed, released by the garbage collector seconds later, pointer cleared).

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/cpCQoS.h"
#include "core/cpCQoSContextAction.h"
#include "core/nvSmartPtr.h"
#include "core/nwIQoSNetStack.h"
#include "net/nwCHttpClientExLayer.h"
#include "net/nwClassIds.h"
#include "net/nwHttpLocation.h"

struct nwConnectionOptions {
  int32_t actionType = QOS_ACTION_HIGH;
  int32_t eventMask = QOS_EV_CONNECT_FAILED | QOS_EV_IDLE;
  std::optional<int32_t> connectTimeoutSeconds;  // none: the connection's default
  std::optional<int32_t> idleLimitSeconds;       // none: the connection's default
  // Set: once the layer is in place the action becomes this type, receiving at most
  // `receiveLimit` bytes per second.
  std::optional<int32_t> receiveAction;
  int32_t receiveLimit = 0;

  // The usual request: action QOS_ACTION_HIGH, connect failures and idle time-outs reported.
  static nwConnectionOptions Timeouts(std::optional<int32_t> connectTimeoutSeconds, int32_t idleLimitSeconds);
};

// A connection opened with `options` and `layerClassId` on top, configured under the library
// lock; not connected yet. Empty when the context or its layer could not be made (nothing is left
// open then).
nvQoSContextPtr nwOpenConnection(const nwConnectionOptions& options, uint32_t layerClassId);

struct nwHttpExchangeOptions {
  nwHttpExchangeOptions(nwIHttpClientExEventListener* eventListener, std::string address,
                        nwConnectionOptions options);

  nwConnectionOptions connection;
  nwIHttpClientExEventListener* listener;
  nwListenerCookie cookie = 0;
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;  // added before the GET, in order
};

// One GET on a new connection with the HTTP client layer on top: opened, listened to, pointed at
// the URL, headers added and the request sent, all under the library lock. A URL the layer cannot
// use still gives a connection: it fails from the message loop like an unreachable host. Empty
// when no connection could be made.
nvQoSContextPtr nwOpenHttpExchange(const nwHttpExchangeOptions& options);

// The HTTP client layer on top of `context`, or null.
nvIHttpClientExLayer* nwHttpLayer(const nvQoSContextPtr& context);

// Closes `context` and hands it to the garbage collector. The caller has detached the listener.
void nwCloseAndDefer(nvQoSContextPtr context);

// Lets go of a connection whose top layer is a `Layer` (anything with SetListener(listener,
// cookie)): the listener is detached first, so the close reports nothing, and the release comes
// later, outside any callback of that connection that may be running now. The pointer is empty
// at once; an empty pointer does nothing.
template <class Layer = nvIHttpClientExLayer>
void nwReleaseConnection(nvQoSContextPtr& context) {
  nvQoSContextPtr held = std::move(context);
  if (!held) return;
  cpQoSLockGuard lock;
  if (auto* layer = nvCast<Layer>(held->GetTopLayer())) layer->SetListener(nullptr, 0);
  nwCloseAndDefer(std::move(held));
}

// The head of an answer, as a check that needs nothing of the body reads it.
struct nwAnswerHead {
  int32_t status = 0;
  int64_t length = 0;   // Content-Length; 0 when absent
  nwRedirect redirect;  // the Location, resolved against the request
};

// Reads the head of the answer on `context`, then lets the connection go. None when there is no
// connection with an HTTP layer.
std::optional<nwAnswerHead> nwTakeAnswerHead(nvQoSContextPtr& context, const std::string& requestUrl);
