#include "library/COsn.h"

#include "core/cpCTimerService.h"
#include "core/nvCGarbageCollector.h"

COsn::COsn(nvSmartPtr lock) {
  timerService_ = new cpCTimerService(lock);
  cpCTimerService::SetInstance(timerService_);
  nvCGarbageCollector::Instance();
}

COsn::~COsn() {
  nvCGarbageCollector::DestroyInstance();
  cpCTimerService::SetInstance(nullptr);
  delete timerService_;
}

void COsn::Shutdown() {}
