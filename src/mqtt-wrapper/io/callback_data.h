#pragma once

// What the completion callbacks receive; opaque to the library's users.
struct MQTTAsync_successData {
    int token;
    int qos;                // granted QoS of a subscription
    const char* serverURI;  // of a connection
    int sessionPresent;
};

struct MQTTAsync_failureData {
    int token;
    int code;
    const char* message;
};
