#include "net/nwRegisterClasses.h"

#include "core/nvSmartPtr.h"
#include "net/nwCHTTPDownloader.h"
#include "net/nwCHttpClientExLayer.h"
#include "net/nwCStreamDispatcher.h"

namespace {

template <class T>
nvIUnknown* Make() {
  return new T();
}

}  // namespace

void nwRegisterClasses() {
  // Registering stores the same factory again, so repeated calls are harmless.
  nvRegisterClass(CLSID_nwCStreamDispatcher, &Make<nwCStreamDispatcher>);
  nvRegisterClass(CLSID_nwCHttpClientExLayer, &nwCHttpClientExLayer::Create<nwCHttpClientExLayer>);
  nvRegisterClass(CLSID_nwCHTTPDownloader, &Make<nwCHTTPDownloader>);
}
