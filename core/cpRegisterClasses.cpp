#include "core/cpRegisterClasses.h"

#include "core/cpCMutex.h"
#include "core/cpCQoSContext.h"
#include "core/cpCTimer.h"
#include "core/cpSocket.h"

namespace {

template <class T>
nvIUnknown* Make() {
  return new T();
}

constexpr nvClassEntry kCoreClasses[] = {
    {CLSID_cpCSocket, &Make<cpCSocket>},
    {CLSID_cpCTimer, &Make<cpCTimer>},
    {CLSID_cpCMutex, &Make<cpCMutex>},
    {CLSID_cpCQoSContext, &Make<cpCQoSContext>},
};

}  // namespace

std::span<const nvClassEntry> cpCoreClasses() { return kCoreClasses; }

void cpRegisterClasses() {
  for (const nvClassEntry& entry : kCoreClasses) nvRegisterClass(entry.classId, entry.factory);
}
