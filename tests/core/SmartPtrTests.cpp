#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "core/cpCMutex.h"
#include "core/cpRegisterClasses.h"
#include "core/nvSmartPtr.h"

namespace {

// Counts its destructions; optionally answers the layer interface, holds another object or
// runs a check while it is being destroyed.
class Probe : public nvTRefCounted<> {
 public:
  explicit Probe(int* destroyed, bool answersLayer = false)
      : destroyed_(destroyed), answersLayer_(answersLayer) {}
  ~Probe() override {
    ++*destroyed_;
    if (onDestroy) onDestroy();
  }

  cpStatus QueryInterface(int32_t interfaceId, void** out) override {
    if (!answersLayer_) return nvTRefCounted<>::QueryInterface(interfaceId, out);
    if (interfaceId != NW_IID_QOS_NET_STACK) return NW_E_FAIL;
    *out = this;
    return NW_S_OK;
  }

  std::function<void()> onDestroy;
  nvSmartPtr held;

 private:
  int* destroyed_;
  bool answersLayer_;
};

TEST(nvSmartPtrTest, HoldsOneReferenceForItsLifetime) {
  int destroyed = 0;
  auto* probe = new Probe(&destroyed);
  EXPECT_EQ(probe->RefCount(), 0);
  {
    nvSmartPtr p(probe);
    EXPECT_EQ(probe->RefCount(), 1);
    {
      nvSmartPtr copy(p);
      EXPECT_EQ(probe->RefCount(), 2);
      nvSmartPtr moved(std::move(copy));
      EXPECT_EQ(probe->RefCount(), 2);
      EXPECT_EQ(copy.Get(), nullptr);
    }
    EXPECT_EQ(probe->RefCount(), 1);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(nvSmartPtrTest, TakingTheHeldObjectAgainChangesNothing) {
  int destroyed = 0;
  auto* probe = new Probe(&destroyed);
  nvSmartPtr p(probe);
  p.Attach(probe);
  EXPECT_EQ(probe->RefCount(), 1);
  nvSmartPtr& alias = p;
  p = alias;
  EXPECT_EQ(probe->RefCount(), 1);

  nvSmartPtr q(probe);
  q = p;
  EXPECT_EQ(probe->RefCount(), 2);
  EXPECT_EQ(destroyed, 0);
}

TEST(nvSmartPtrTest, AttachNullAndAssigningEmptyRelease) {
  int destroyed = 0;
  nvSmartPtr p(new Probe(&destroyed));
  p.Attach(nullptr);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(p.Get(), nullptr);
  p.Attach(nullptr);  // nothing held: nothing to do

  p.Attach(new Probe(&destroyed));
  p = nvSmartPtr();
  EXPECT_EQ(destroyed, 2);
  EXPECT_FALSE(p);
}

TEST(nvSmartPtrTest, AttachReleasesTheOldObjectAndTakesTheNew) {
  int destroyedOld = 0;
  int destroyedNew = 0;
  auto* fresh = new Probe(&destroyedNew);
  nvSmartPtr p(new Probe(&destroyedOld));
  p.Attach(fresh);
  EXPECT_EQ(destroyedOld, 1);
  EXPECT_EQ(fresh->RefCount(), 1);
  EXPECT_EQ(p.Get(), fresh);
}

TEST(nvSmartPtrTest, SwitchingToAnObjectOwnedByTheOldOneKeepsItAlive) {
  int destroyedOwner = 0;
  int destroyedInner = 0;
  auto* owner = new Probe(&destroyedOwner);
  auto* inner = new Probe(&destroyedInner);
  owner->held.Attach(inner);  // the owner holds the only reference to the inner object
  nvSmartPtr p(owner);

  p.Attach(inner);
  EXPECT_EQ(destroyedOwner, 1);
  EXPECT_EQ(destroyedInner, 0);
  EXPECT_EQ(inner->RefCount(), 1);
}

TEST(nvSmartPtrTest, CreateInstanceOfTheMutexStartsWithOneReference) {
  nvSmartPtr p;
  ASSERT_TRUE(p.CreateInstance(CLSID_cpCMutex));
  ASSERT_NE(p.Get(), nullptr);
  auto* mutex = dynamic_cast<cpCMutex*>(p.Get());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(mutex->RefCount(), 1);
}

TEST(nvSmartPtrTest, CreateInstanceOfAnIdWithoutAClassLeavesThePointerEmpty) {
  for (uint32_t classId : {0x1007u, 0x1009u, 0x0u, 0x3000u, 0xFFFFFFFFu}) {
    nvSmartPtr p;
    EXPECT_FALSE(p.CreateInstance(classId)) << std::hex << classId;
    EXPECT_EQ(p.Get(), nullptr);
  }
}

TEST(nvSmartPtrTest, CreateInstanceReleasesTheHeldObjectFirst) {
  for (uint32_t classId : {static_cast<uint32_t>(CLSID_cpCMutex), 0x1007u}) {
    int destroyed = 0;
    nvSmartPtr p(new Probe(&destroyed));
    nvIUnknown* heldWhileDestroyed = reinterpret_cast<nvIUnknown*>(1);
    nvCast<Probe>(p.Get())->onDestroy = [&] { heldWhileDestroyed = p.Get(); };

    const bool created = p.CreateInstance(classId);
    EXPECT_EQ(created, classId == CLSID_cpCMutex);
    EXPECT_EQ(destroyed, 1);
    // Gone before the new object was made, not replaced by it.
    EXPECT_EQ(heldWhileDestroyed, nullptr) << std::hex << classId;
    EXPECT_EQ(p.Get() != nullptr, created);
  }
}

TEST(nvSmartPtrTest, QueryInterfaceIsTrueOnlyForAnAnsweringObject) {
  void* out = &out;
  EXPECT_FALSE(nvSmartPtr().QueryInterface(NW_IID_QOS_NET_STACK, &out));
  EXPECT_EQ(out, &out);

  int destroyed = 0;
  nvSmartPtr plain(new Probe(&destroyed));  // default: not implemented
  EXPECT_FALSE(plain.QueryInterface(NW_IID_QOS_NET_STACK, &out));
  EXPECT_EQ(out, &out);

  nvSmartPtr layer(new Probe(&destroyed, /*answersLayer=*/true));
  EXPECT_FALSE(layer.QueryInterface(0x2015, &out));
  EXPECT_TRUE(layer.QueryInterface(NW_IID_QOS_NET_STACK, &out));
  EXPECT_EQ(out, layer.Get());
}

int g_probesMade = 0;
int g_probesDestroyed = 0;

template <int kTag>
nvIUnknown* MakeProbe() {
  g_probesMade += kTag;
  return new Probe(&g_probesDestroyed);
}

TEST(nvSmartPtrTest, ClassesAreRegisteredByTheirLayerAndAnUnknownIdCreatesNothing) {
  // The core's own classes are there from the start; a network class only once the network stack
  // registered it (it is not linked here), and an id nobody registered never.
  for (uint32_t classId : {CLSID_cpCSocket, CLSID_cpCTimer, CLSID_cpCMutex, CLSID_cpCQoSContext}) {
    nvSmartPtr p;
    EXPECT_TRUE(p.CreateInstance(classId)) << std::hex << classId;
  }
  for (uint32_t classId : {0x0u, 0x1007u, 0x2003u, 0x200Fu, 0x3000u}) {
    nvSmartPtr p;
    EXPECT_FALSE(p.CreateInstance(classId)) << std::hex << classId;
    EXPECT_FALSE(p);
  }

  // Any id but 0 can be registered, with a factory; a later registration replaces the earlier one.
  EXPECT_FALSE(nvRegisterClass(0x0u, &MakeProbe<1>));
  EXPECT_FALSE(nvRegisterClass(0x3001u, nullptr));
  nvSmartPtr p;
  EXPECT_FALSE(p.CreateInstance(0x3001u));
  g_probesMade = 0;
  ASSERT_TRUE(nvRegisterClass(0x3001u, &MakeProbe<1>));
  EXPECT_TRUE(p.CreateInstance(0x3001u));
  ASSERT_TRUE(nvRegisterClass(0x3001u, &MakeProbe<10>));
  EXPECT_TRUE(p.CreateInstance(0x3001u));
  EXPECT_EQ(g_probesMade, 11);

  // A core class replaced (as tests do with stand-ins) comes back with the core's registration.
  ASSERT_TRUE(nvRegisterClass(CLSID_cpCMutex, &MakeProbe<100>));
  ASSERT_TRUE(p.CreateInstance(CLSID_cpCMutex));
  EXPECT_EQ(dynamic_cast<cpCMutex*>(p.Get()), nullptr);
  cpRegisterClasses();
  ASSERT_TRUE(p.CreateInstance(CLSID_cpCMutex));
  EXPECT_NE(dynamic_cast<cpCMutex*>(p.Get()), nullptr);
  EXPECT_EQ(g_probesMade, 111);
}

}  // namespace
