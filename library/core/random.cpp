#include "core/random.h"

#include <cstdlib>

namespace kq {

int randomDraw() { return std::rand() % 32768; }

}  // namespace kq
