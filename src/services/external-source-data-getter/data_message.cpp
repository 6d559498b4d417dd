#include "data_message.h"

#include <nlohmann/json.hpp>

#include <string>

namespace quorvel {

void handle_data_message(mosquitto::MqttAsyncWrapper&, const mosquitto::MqttMessage& message) {
    const std::string text(message.payload.begin(), message.payload.end());
    const auto document = nlohmann::json::parse(text);
    (void)document;
}

}  // namespace quorvel
