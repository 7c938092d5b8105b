#include <kqnet/core/random.h>

#include <cstdlib>

namespace kq {

int randomDraw() { return std::rand() % (kRandomDrawMax + 1); }

}  // namespace kq
