// The fault seam: tests arm a file operation to fail at its n-th call.
#include <array>

#include "platform/files.h"

namespace velarin::platform::faults {
namespace {

struct Slot {
  int armedAt = 0;  // 0: not armed; else the call number that fails
  int calls = 0;
};
std::array<Slot, size_t(Op::Count)> slots;

}  // namespace

void Arm(Op op, int nth) {
  Slot& s = slots[size_t(op)];
  s.armedAt = s.calls + nth;
}

void DisarmAll() { slots = {}; }

int Calls(Op op) { return slots[size_t(op)].calls; }

bool Hit(Op op) {
  Slot& s = slots[size_t(op)];
  ++s.calls;
  if (s.armedAt != 0 && s.calls == s.armedAt) {
    s.armedAt = 0;
    return true;
  }
  return false;
}

}  // namespace velarin::platform::faults
