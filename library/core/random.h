#pragma once

namespace kq {

// Fifteen bits of the standard generator, so srand still seeds every draw.
// Every randomising place of the library goes through here: the weight
// formulas assume draws in 0..32767.
int randomDraw();

}  // namespace kq
