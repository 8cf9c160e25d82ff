#include "library/COsn.h"

#include "core/cpCQoS.h"
#include "core/cpCTimerService.h"
#include "core/cpLog.h"
#include "core/cpRegisterClasses.h"
#include "core/cpSocket.h"
#include "core/nvCGarbageCollector.h"
#include "net/Lib_SSL/TlsRuntime.h"
#include "net/nwCHttpMimeTypeMap.h"
#include "net/nwRegisterClasses.h"
#include "pipeline/Log.h"

COsn::COsn(cpCMutexPtr lock) {
  // The layers below the log write to it through this.
  cpSetLogWriter(&WriteLog);
  TlsStartup();
  LoadBuiltInCertificates();
  cpRegisterClasses();
  nwRegisterClasses();
  cpNetStartup();
  timerService_ = std::make_unique<cpCTimerService>(lock);
  cpCTimerService::SetInstance(timerService_.get());
  qos_ = std::make_unique<cpCQoS>(lock);
  cpCQoS::SetInstance(qos_.get());
  nvCGarbageCollector::Instance();
  nwCHttpMimeTypeMap::Instance();
}

COsn::~COsn() {
  nwCHttpMimeTypeMap::DestroyInstance();
  nvCGarbageCollector::DestroyInstance();
  cpCQoS::SetInstance(nullptr);
  qos_.reset();
  cpCTimerService::SetInstance(nullptr);
  timerService_.reset();
}

void COsn::Shutdown() {
  cpNetCleanup();
  TlsShutdown();
}
