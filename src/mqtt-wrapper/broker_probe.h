#pragma once

#include <string>

namespace quorvel::mosquitto {

// True when a TCP connection to the host and port of a tcp:// or mqtt://
// address can be opened within the timeout (the connection is closed at
// once). Other schemes are not probed and count as reachable.
bool broker_accepts_connections(const std::string& uri, int timeout_ms);

}  // namespace quorvel::mosquitto
