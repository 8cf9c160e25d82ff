#include "net/nwRegisterClasses.h"

#include "net/nwCAgentLayer.h"
#include "net/nwCCDNLocalClientLayer.h"
#include "net/nwCHTTPDownloader.h"
#include "net/nwCHttpClientExLayer.h"
#include "net/nwCSecureSocketClientLayer.h"
#include "net/nwCStreamDispatcher.h"

namespace {

template <class T>
nvIUnknown* Make() {
  return new T();
}

}  // namespace

void nwRegisterClasses() {
  nvRegisterClass(CLSID_nwCStreamDispatcher, &Make<nwCStreamDispatcher>);
  nvRegisterClass(CLSID_nwCHttpClientExLayer, &nwCHttpClientExLayer::Create<nwCHttpClientExLayer>);
  nvRegisterClass(CLSID_nwCSecureSocketClientLayer,
                  &nwCSecureSocketClientLayer::Create<nwCSecureSocketClientLayer>);
  nvRegisterClass(CLSID_nwCHTTPDownloader, &Make<nwCHTTPDownloader>);
  nvRegisterClass(CLSID_nwCAgentLayer, &nwCAgentLayer::Create<nwCAgentLayer>);
  nvRegisterClass(CLSID_nwCCDNLocalClientLayer, &nwCCDNLocalClientLayer::Create<nwCCDNLocalClientLayer>);
}
