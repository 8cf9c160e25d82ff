#include "engine/SegmentPlanner.h"

#include <algorithm>

namespace engine {

namespace {

// The first range nobody holds: neither written nor ahead of an active transfer's position.
Plan PlanFresh(int64_t size, const RangeSet& done, const std::vector<ActiveSegment>& active,
               int64_t idealSegment) {
  RangeSet taken = done;
  for (const ActiveSegment& segment : active) taken.Add(segment.position, segment.end);
  const auto gap = taken.FirstGap(0, size);
  if (!gap) return {};
  Plan plan;
  plan.kind = PlanKind::kFresh;
  plan.begin = gap->begin;
  plan.end = gap->begin + std::min(gap->end - gap->begin, std::max<int64_t>(idealSegment, 1));
  return plan;
}

Plan PlanSplit(const RangeSet& done, const std::vector<ActiveSegment>& active) {
  const ActiveSegment* largest = nullptr;
  int64_t largestRemaining = 0;
  for (const ActiveSegment& segment : active) {
    const int64_t remaining = RemainingWork(segment, done);
    if (remaining > largestRemaining) {
      largest = &segment;
      largestRemaining = remaining;
    }
  }
  if (largest == nullptr || largestRemaining < 2 * kMinSplit) return {};
  Plan plan;
  plan.kind = PlanKind::kSplit;
  plan.begin = largest->position + largestRemaining / 2;
  plan.end = largest->end;
  plan.victim = largest->id;
  plan.victimNewEnd = plan.begin;
  return plan;
}

Plan PlanRace(const RangeSet& done, const std::vector<ActiveSegment>& active) {
  const ActiveSegment* slowest = nullptr;
  double slowestSeconds = -1.0;
  for (const ActiveSegment& segment : active) {
    if (segment.racing) continue;
    const int64_t remaining = RemainingWork(segment, done);
    if (remaining <= 0) continue;
    // Doubles: the ratio of two int64 values, compared only for ordering.
    const double seconds =
        static_cast<double>(remaining) / static_cast<double>(std::max<int64_t>(segment.bytesPerSecond, 1));
    if (seconds > slowestSeconds) {
      slowest = &segment;
      slowestSeconds = seconds;
    }
  }
  if (slowest == nullptr) return {};
  Plan plan;
  plan.kind = PlanKind::kRace;
  plan.begin = slowest->position;
  plan.end = slowest->end;
  plan.victim = slowest->id;
  return plan;
}

}  // namespace

int64_t RemainingWork(const ActiveSegment& segment, const RangeSet& done) {
  if (segment.end <= segment.position) return 0;
  return segment.end - segment.position - done.CoveredWithin(segment.position, segment.end);
}

Plan PlanNext(int64_t size, const RangeSet& done, const std::vector<ActiveSegment>& active,
              int64_t idealSegment) {
  if (size <= 0) return {};
  if (Plan plan = PlanFresh(size, done, active, idealSegment); plan.kind != PlanKind::kNone) return plan;
  if (Plan plan = PlanSplit(done, active); plan.kind != PlanKind::kNone) return plan;
  return PlanRace(done, active);
}

int64_t IdealSegment(int64_t size, int connections) {
  const int64_t parts = std::max(connections, 1);
  const int64_t share = size > 0 ? size / parts + (size % parts != 0 ? 1 : 0) : 0;
  return std::max(kMinSplit, share);
}

}  // namespace engine
