// The real service against a hostile MQTT server.
