#pragma once

namespace kq {

// The largest draw. The weight formulas divide by it to map a draw onto
// the range they spread weights over.
inline constexpr int kRandomDrawMax = 32767;

// Fifteen bits of the standard generator, so srand still seeds every draw.
// Every randomising place of the library goes through here: the weight
// formulas assume draws in 0..kRandomDrawMax.
int randomDraw();

}  // namespace kq
