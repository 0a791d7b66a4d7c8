#pragma once

#include <type_traits>

#include "decode/SMPTE_tc.h"

// Carries one timecode value from a producer to the controller on the main
// thread, and from the controller to its listeners (once ZebTimecodeWrapper).
//
// The wrapper holds its record by value, so it is the record's one owner: a
// value is freed exactly once, when its wrapper goes, whether it was dropped
// on a full ring, dropped by the controller or accepted, and nobody frees
// anything by hand. Being trivially copyable, a wrapper travels whole through
// the capture hand-over's preallocated rings, so a capture thread makes one
// without going near the allocator.
//
// A listener sees a wrapper only during its receiveTimecode() call and copies
// what it keeps.
class TimecodeWrapper {
public:
    TimecodeWrapper() = default;
    explicit TimecodeWrapper(const SMPTE_tc& tc) : timecode_(tc) {}

    /// Never null: the wrapper's own record.
    const SMPTE_tc* timecode() const { return &timecode_; }
    SMPTE_tc* timecode() { return &timecode_; }
    void setTimecode(const SMPTE_tc& tc) { timecode_ = tc; }

private:
    SMPTE_tc timecode_{};
};

static_assert(std::is_trivially_copyable_v<TimecodeWrapper>,
              "wrappers are copied whole through the capture rings");
