#include "net/nwConnection.h"

#include "core/cpCQoSContext.h"
#include "core/nvCGarbageCollector.h"

nwConnectionOptions nwConnectionOptions::Timeouts(std::optional<int32_t> connectTimeoutSeconds,
                                                  int32_t idleLimitSeconds) {
  nwConnectionOptions options;
  options.connectTimeoutSeconds = connectTimeoutSeconds;
  options.idleLimitSeconds = idleLimitSeconds;
  return options;
}

nwHttpExchangeOptions::nwHttpExchangeOptions(nwIHttpClientExEventListener* eventListener, std::string address,
                                             nwConnectionOptions options)
    : connection(std::move(options)), listener(eventListener), url(std::move(address)) {}

nvQoSContextPtr nwOpenConnection(const nwConnectionOptions& options, uint32_t layerClassId) {
  nvQoSContextPtr context = nvQoSContextPtr::Create(CLSID_cpCQoSContext);
  if (!context) return {};
  cpQoSLockGuard lock;
  nvIQoSContext* connection = context.Get();
  connection->Open(options.actionType, options.eventMask, nullptr);
  if (options.connectTimeoutSeconds)
    connection->SetOption(QOS_OPT_CONNECT_TIMEOUT, &*options.connectTimeoutSeconds);
  if (options.idleLimitSeconds) connection->SetOption(QOS_OPT_IDLE_LIMIT, &*options.idleLimitSeconds);
  if (!cpSucceeded(connection->PushLayer(layerClassId, false)) || connection->GetTopLayer() == nullptr) {
    // Without its layer the connection could never report: drop it rather than leave it open.
    nwCloseAndDefer(std::move(context));
    return {};
  }
  if (options.receiveAction) {
    connection->SetAction(*options.receiveAction);
    connection->SetActionLimit(0, &options.receiveLimit);
  }
  return context;
}

nvQoSContextPtr nwOpenHttpExchange(const nwHttpExchangeOptions& options) {
  cpQoSLockGuard lock;
  nvQoSContextPtr context = nwOpenConnection(options.connection, CLSID_nwCHttpClientExLayer);
  nvIHttpClientExLayer* layer = nwHttpLayer(context);
  if (layer == nullptr) return {};
  layer->SetListener(options.listener, options.cookie);
  layer->OpenUrl(options.url.c_str());
  for (const auto& [name, value] : options.headers) layer->AddHeader(name.c_str(), value.c_str());
  layer->SendGet();
  return context;
}

nvIHttpClientExLayer* nwHttpLayer(const nvQoSContextPtr& context) {
  if (!context) return nullptr;
  return nvCast<nvIHttpClientExLayer>(context->GetTopLayer());
}

void nwCloseAndDefer(nvQoSContextPtr context) {
  if (!context) return;
  cpQoSLockGuard lock;
  context->Close();
  if (nvCGarbageCollector* collector = nvCGarbageCollector::Instance())
    collector->DeferRelease(context.Take());
}

std::optional<nwAnswerHead> nwTakeAnswerHead(nvQoSContextPtr& context, const std::string& requestUrl) {
  nvIHttpClientExLayer* layer = nwHttpLayer(context);
  if (layer == nullptr) return std::nullopt;
  nwAnswerHead head;
  layer->GetStatusCode(&head.status);
  layer->GetContentLength(&head.length);
  head.redirect = nwReadRedirect(layer, requestUrl);
  nwReleaseConnection(context);
  return head;
}
