#pragma once

// How many more messages, and of how many bytes of topic and payload, the
// owner of the session can take: the session decodes no message beyond it.

#include <cstddef>

namespace quorvel::mosquitto {

struct Room {
    std::size_t messages;
    std::size_t bytes;
    bool holding;  // the owner holds messages already
};

}  // namespace quorvel::mosquitto
