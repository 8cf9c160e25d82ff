#include "library/COsn.h"

#include "core/cpCQoS.h"
#include "core/cpLog.h"
#include "core/cpCTimerService.h"
#include "core/cpRegisterClasses.h"
#include "core/cpSocket.h"
#include "core/nvCGarbageCollector.h"
#include "net/nwCHttpMimeTypeMap.h"
#include "net/Lib_SSL/TlsRuntime.h"
#include "net/nwRegisterClasses.h"
#include "pipeline/Log.h"

COsn::COsn(nvSmartPtr lock) {
  // The layers below the log write to it through this.
  cpSetLogWriter(&WriteLog);
  TlsStartup();
  LoadBuiltInCertificates();
  cpRegisterClasses();
  nwRegisterClasses();
  cpNetStartup();
  timerService_ = new cpCTimerService(lock);
  cpCTimerService::SetInstance(timerService_);
  qos_ = new cpCQoS(lock);
  cpCQoS::SetInstance(qos_);
  nvCGarbageCollector::Instance();
  nwCHttpMimeTypeMap::Instance();
}

COsn::~COsn() {
  nwCHttpMimeTypeMap::DestroyInstance();
  nvCGarbageCollector::DestroyInstance();
  cpCQoS::SetInstance(nullptr);
  delete qos_;
  cpCTimerService::SetInstance(nullptr);
  delete timerService_;
}

void COsn::Shutdown() {
  cpNetCleanup();
  TlsShutdown();
}
