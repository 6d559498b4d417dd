#include "configuration.h"

namespace quorvel {

void apply_configuration(mosquitto::MqttAsyncWrapper&, const std::vector<unsigned char>&) {}

}  // namespace quorvel
