#pragma once

// The library is built with hidden symbols; what carries this is its API.
#define MQTT_WRAPPER_API __attribute__((visibility("default")))
