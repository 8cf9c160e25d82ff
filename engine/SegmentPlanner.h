#pragma once
// What an idle connection of one file fetches next: a fresh range nobody has, half of the largest
// range still being fetched, or, near the end, the same tail as the slowest transfer (whichever
// finishes first wins). Pure arithmetic over the file's state; the caller applies the plan.

#include <cstdint>
#include <vector>

#include "engine/RangeSet.h"

namespace engine {

struct ActiveSegment {
  int id;                  // the transfer's id
  int64_t position;        // next byte it will write
  int64_t end;             // one past the last byte it is to write
  int64_t bytesPerSecond;  // its recent rate (0 when unknown / just started)
  bool racing;             // it is a racer, or is already being raced (never raced again)
};

enum class PlanKind { kNone, kFresh, kSplit, kRace };

struct Plan {
  PlanKind kind = PlanKind::kNone;
  int64_t begin = 0, end = 0;  // the range the idle connection fetches
  int victim = -1;             // kSplit / kRace: the active segment concerned
  int64_t victimNewEnd = 0;    // kSplit: the victim's new end (== begin)
};

// Below this, a request costs more in setup than a second connection gains.
constexpr int64_t kMinSplit = 1 << 20;

// The bytes of [segment.position, segment.end) not yet in `done`.
int64_t RemainingWork(const ActiveSegment& segment, const RangeSet& done);

// size: the file's size (> 0). done: bytes already written. active: the segments being fetched.
// idealSegment: the length of a fresh segment (the caller passes IdealSegment(size, connections)).
// Among equal candidates for a split or a race, the first in `active` is chosen.
Plan PlanNext(int64_t size, const RangeSet& done, const std::vector<ActiveSegment>& active,
              int64_t idealSegment);

// max(kMinSplit, ceil(size / max(connections, 1))).
int64_t IdealSegment(int64_t size, int connections);

}  // namespace engine
