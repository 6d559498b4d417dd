#include "certificates.h"

#include "broker.h"

#ifndef CERTIFICATE_SCRIPT
#error CERTIFICATE_SCRIPT must name scripts/lib/make-certificates.sh
#endif

namespace test_support {

TestCertificates make_test_certificates() {
    TestCertificates c;
    c.dir = make_temp_dir();
    run_command("'" + std::string(CERTIFICATE_SCRIPT) + "' '" + c.dir + "'");
    c.ca = c.dir + "/ca.pem";
    c.server = c.dir + "/server.pem";
    c.server_key = c.dir + "/server.key";
    c.wrong_name = c.dir + "/elsewhere.pem";
    c.common_name_only = c.dir + "/cn-only.pem";
    c.client = c.dir + "/client.pem";
    c.client_key = c.dir + "/client.key";
    c.unrelated_ca = c.dir + "/unrelated.pem";
    return c;
}

}  // namespace test_support
