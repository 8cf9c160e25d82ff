#pragma once
// Status values of the runtime and network objects: bit 31 set is a failure, bit 30 set a
// success. They never cross the library's flat interface.

#include <cstdint>

using cpStatus = int32_t;

constexpr cpStatus cpMakeStatus(uint32_t bits) { return static_cast<cpStatus>(bits); }

constexpr cpStatus CP_S_REF = cpMakeStatus(0x40000000u);
constexpr cpStatus CP_S_OK = cpMakeStatus(0x40200000u);
constexpr cpStatus NW_S_OK = cpMakeStatus(0x40300000u);
constexpr cpStatus CP_E_GENERIC = cpMakeStatus(0x80000000u);
constexpr cpStatus CP_E_NOTIMPL = cpMakeStatus(0x80010001u);
constexpr cpStatus CP_E_FAIL = cpMakeStatus(0x80200000u);
constexpr cpStatus CP_E_BADRECORD = cpMakeStatus(0x80210002u);
constexpr cpStatus CP_E_NOTSOCK = cpMakeStatus(0x80220004u);
constexpr cpStatus CP_E_REFUSED = cpMakeStatus(0x80220005u);
constexpr cpStatus CP_E_ALREADY = cpMakeStatus(0x80220006u);
constexpr cpStatus CP_E_EXISTS = cpMakeStatus(0x80220007u);
constexpr cpStatus CP_E_NOBUFS = cpMakeStatus(0x80220008u);
constexpr cpStatus CP_E_INPROGRESS = cpMakeStatus(0x80220009u);
constexpr cpStatus CP_E_WOULDBLOCK = cpMakeStatus(0x8022000Au);
constexpr cpStatus NW_E_FAIL = cpMakeStatus(0x80300000u);

constexpr bool cpFailed(cpStatus status) { return status < 0; }
constexpr bool cpSucceeded(cpStatus status) { return (static_cast<uint32_t>(status) & 0x40000000u) != 0; }
// The condition part that some callers compare (would block: 0x2000A, no socket: 0x20004, ...).
constexpr uint32_t cpStatusCondition(cpStatus status) { return static_cast<uint32_t>(status) & 0xFFFFFu; }
