#pragma once

#include <vector>

#include "frames.h"
#include "module_model.h"
#include "options.h"

namespace sim {

// Applies the misbehaviour switches to the stream of replies, counting the requests the module
// would have answered.
class FaultInjector {
  public:
    explicit FaultInjector(const FaultOptions& faults) : faults_(faults) {}

    // The framed reply to send for `reply`, or an empty frame when this one is dropped.
    std::vector<Byte> Apply(const Message& reply, Framing framing, std::uint16_t transactionId);

  private:
    bool Hits(int every) const { return every > 0 && count_ % every == 0; }

    FaultOptions faults_;
    long long count_ = 0;
};

}  // namespace sim
