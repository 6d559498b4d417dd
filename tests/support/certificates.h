#pragma once

// Certificates made for one test with the openssl tool: a CA, a broker
// certificate for localhost and 127.0.0.1, one for another name, a client
// certificate, and a second CA that signed none of them.

#include <string>

namespace test_support {

struct TestCertificates {
    std::string dir;
    std::string ca;      // PEM, trusted by the clients that should connect
    std::string server;  // for localhost and 127.0.0.1
    std::string server_key;
    std::string wrong_name;        // for elsewhere.test only, same key
    std::string common_name_only;  // CN=localhost, no subject alternative name, same key
    std::string client;            // signed by ca
    std::string client_key;
    std::string unrelated_ca;
};

TestCertificates make_test_certificates();

}  // namespace test_support
