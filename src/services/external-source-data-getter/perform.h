#pragma once

namespace quorvel {

// Connects, reads the configuration, then handles messages for ever. Leaves
// only by an exception.
void perform();

}  // namespace quorvel
