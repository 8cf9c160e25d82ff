#include <gtest/gtest.h>

#include <cstdint>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "core/Status.h"

namespace {

struct StatusCase {
  cpStatus status;
  bool failed;
  uint32_t condition;
};

void PrintTo(const StatusCase& c, std::ostream* out) {
  std::ostringstream hex;
  hex << std::uppercase << std::hex << std::setw(8) << std::setfill('0') << static_cast<uint32_t>(c.status);
  *out << "Status" << hex.str();
}

class StatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusTest, ClassifiesTheValue) {
  const StatusCase& c = GetParam();
  EXPECT_EQ(cpFailed(c.status), c.failed);
  EXPECT_EQ(cpSucceeded(c.status), !c.failed);
  EXPECT_EQ(cpStatusCondition(c.status), c.condition);
}

const StatusCase kTable[] = {
    {CP_S_REF, false, 0x00000},       {CP_S_OK, false, 0x00000},        {NW_S_OK, false, 0x00000},
    {CP_E_GENERIC, true, 0x00000},    {CP_E_NOTIMPL, true, 0x10001},    {CP_E_FAIL, true, 0x00000},
    {CP_E_BADRECORD, true, 0x10002},  {CP_E_NOTSOCK, true, 0x20004},    {CP_E_REFUSED, true, 0x20005},
    {CP_E_ALREADY, true, 0x20006},    {CP_E_EXISTS, true, 0x20007},     {CP_E_NOBUFS, true, 0x20008},
    {CP_E_INPROGRESS, true, 0x20009}, {CP_E_WOULDBLOCK, true, 0x2000A}, {NW_E_FAIL, true, 0x00000},
};

INSTANTIATE_TEST_SUITE_P(Table, StatusTest, ::testing::ValuesIn(kTable));

TEST(StatusBitsTest, NeitherBitMeansNeitherFailureNorSuccess) {
  EXPECT_FALSE(cpFailed(0));
  EXPECT_FALSE(cpSucceeded(0));
  EXPECT_FALSE(cpSucceeded(0x0002000A));
}

}  // namespace
