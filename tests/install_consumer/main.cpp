// Compiled only against the installed headers and library, so a missing header
// or a broken export set fails here.
#include <kqnet/core/random.h>

int main() {
  const int value = kq::randomDraw();
  return (value >= 0 && value <= 32767) ? 0 : 1;
}
