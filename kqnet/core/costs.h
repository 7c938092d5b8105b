#pragma once

// The two costs that stand for "nothing yet" and "too large", shared by the
// criteria, the control's early stop and the conjugate-gradient globals.

namespace kq {

// A best cost before any was measured: every cost a criterion reports beats
// it, so the first one measured becomes the best.
inline constexpr double kNoBestCost = 1e9;
// The largest cost an exemplar adds, and the cost a failed (negative)
// training measurement stands for.
inline constexpr double kCostCap = 1e10;

}  // namespace kq
