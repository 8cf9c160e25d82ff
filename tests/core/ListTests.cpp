#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/nvCPtrList.h"

namespace {

// Fixed addresses to store; the list never looks behind them.
int g_items[5];

void* Item(int i) { return &g_items[i]; }

// The data in list order, read through the public walk; also checks the count agrees.
std::vector<void*> Contents(nvCPtrList& list) {
  std::vector<void*> contents;
  for (int32_t i = 0; i < list.GetCount(); ++i) contents.push_back(list.GetAt(i));
  EXPECT_EQ(list.GetAt(list.GetCount()), nullptr);
  return contents;
}

class nvCPtrListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 4; ++i) list_.AddTail(Item(i));
  }

  nvCPtrList list_;
};

TEST(nvCPtrListEmptyTest, FindsNothing) {
  nvCPtrList list;
  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_EQ(list.GetHead(), nullptr);
  EXPECT_EQ(list.GetAt(0), nullptr);
  EXPECT_EQ(list.RemoveAt(0), nullptr);
  EXPECT_EQ(list.Remove(Item(0)), nullptr);
  list.RemoveAll();
  EXPECT_EQ(list.GetCount(), 0);
}

TEST_F(nvCPtrListTest, AddTailKeepsInsertionOrder) {
  EXPECT_EQ(list_.GetCount(), 4);
  EXPECT_EQ(list_.GetHead(), Item(0));
  EXPECT_EQ(Contents(list_), (std::vector<void*>{Item(0), Item(1), Item(2), Item(3)}));
}

TEST_F(nvCPtrListTest, IndexesOutsideTheListFindNothing) {
  for (int32_t index : {-1, -2, INT32_MIN, 4, 5, INT32_MAX}) {
    EXPECT_EQ(list_.GetAt(index), nullptr) << index;
    EXPECT_EQ(list_.RemoveAt(index), nullptr) << index;
  }
  EXPECT_EQ(list_.GetCount(), 4);
}

TEST_F(nvCPtrListTest, RemovingTheHeadMovesTheHead) {
  EXPECT_EQ(list_.RemoveAt(0), Item(0));
  EXPECT_EQ(list_.GetHead(), Item(1));
  EXPECT_EQ(Contents(list_), (std::vector<void*>{Item(1), Item(2), Item(3)}));
}

TEST_F(nvCPtrListTest, RemovingInTheMiddleRelinksTheNeighbours) {
  EXPECT_EQ(list_.RemoveAt(2), Item(2));
  EXPECT_EQ(list_.Remove(Item(1)), Item(1));
  EXPECT_EQ(Contents(list_), (std::vector<void*>{Item(0), Item(3)}));
}

TEST_F(nvCPtrListTest, RemovingTheTailMovesTheTail) {
  EXPECT_EQ(list_.RemoveAt(3), Item(3));
  list_.AddTail(Item(4));  // must link after the new tail, not the freed node
  EXPECT_EQ(Contents(list_), (std::vector<void*>{Item(0), Item(1), Item(2), Item(4)}));

  EXPECT_EQ(list_.Remove(Item(4)), Item(4));
  list_.AddTail(Item(3));
  EXPECT_EQ(Contents(list_), (std::vector<void*>{Item(0), Item(1), Item(2), Item(3)}));
}

TEST(nvCPtrListSingleNodeTest, RemovingItEmptiesTheList) {
  nvCPtrList list;
  list.AddTail(Item(0));
  EXPECT_EQ(list.Remove(Item(0)), Item(0));
  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_EQ(list.GetHead(), nullptr);
  list.AddTail(Item(1));
  EXPECT_EQ(Contents(list), (std::vector<void*>{Item(1)}));
}

TEST_F(nvCPtrListTest, RemoveTakesTheFirstMatchOnly) {
  list_.AddTail(Item(1));
  EXPECT_EQ(list_.Remove(Item(1)), Item(1));
  EXPECT_EQ(Contents(list_), (std::vector<void*>{Item(0), Item(2), Item(3), Item(1)}));
  EXPECT_EQ(list_.Remove(Item(4)), nullptr);
  EXPECT_EQ(list_.GetCount(), 4);
}

TEST_F(nvCPtrListTest, NullDataIsStoredLikeAnyOther) {
  list_.AddTail(nullptr);
  EXPECT_EQ(list_.GetCount(), 5);
  EXPECT_EQ(list_.GetAt(4), nullptr);
  EXPECT_EQ(list_.RemoveAt(4), nullptr);
  EXPECT_EQ(list_.GetCount(), 4);
}

TEST_F(nvCPtrListTest, RemoveAllEmptiesAndTheListIsReusable) {
  list_.RemoveAll();
  EXPECT_EQ(list_.GetCount(), 0);
  EXPECT_EQ(list_.GetHead(), nullptr);
  EXPECT_EQ(list_.GetAt(0), nullptr);
  list_.AddTail(Item(2));
  list_.AddTail(Item(0));
  EXPECT_EQ(Contents(list_), (std::vector<void*>{Item(2), Item(0)}));
}

}  // namespace
