// A hostile MQTT server for end-to-end tests.
