#include <gtest/gtest.h>

#include "net/nwCHttpMimeTypeMap.h"

namespace {

TEST(nwCHttpMimeTypeMapTest, EveryLookupAnswersTheGenericBinaryType) {
  nwCHttpMimeTypeMap* map = nwCHttpMimeTypeMap::Instance();
  ASSERT_NE(map, nullptr);
  EXPECT_STREQ(map->Lookup(nullptr), "application/octet-stream");
  EXPECT_STREQ(map->Lookup(""), "application/octet-stream");
  EXPECT_STREQ(map->Lookup("setup.zip"), "application/octet-stream");
  EXPECT_STREQ(map->Lookup("index.html"), "application/octet-stream");
}

TEST(nwCHttpMimeTypeMapTest, OneInstanceUntilDestroyed) {
  nwCHttpMimeTypeMap* first = nwCHttpMimeTypeMap::Instance();
  EXPECT_EQ(nwCHttpMimeTypeMap::Instance(), first);
  nwCHttpMimeTypeMap::DestroyInstance();
  nwCHttpMimeTypeMap::DestroyInstance();  // a second call finds nothing to destroy
  nwCHttpMimeTypeMap* again = nwCHttpMimeTypeMap::Instance();
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(again->Lookup("a"), "application/octet-stream");
  nwCHttpMimeTypeMap::DestroyInstance();
}

}  // namespace
