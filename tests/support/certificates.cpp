#include "certificates.h"

#include "broker.h"

#include <sys/stat.h>

#include <fstream>

namespace test_support {

namespace {

// A key and a certificate signed by the CA with the given subjectAltName.
void issue(const std::string& dir, const std::string& name, const std::string& key,
           const std::string& alt_names) {
    std::ofstream(dir + "/" + name + ".ext") << "subjectAltName=" << alt_names << "\n";
    if (!std::ifstream(dir + "/" + key).good()) {
        run_command("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" + dir + "/" +
                    key + "'");
    }
    run_command("openssl req -new -key '" + dir + "/" + key + "' -subj /CN=" + name + " -out '" + dir + "/" +
                name + ".csr'");
    run_command("openssl x509 -req -in '" + dir + "/" + name + ".csr' -CA '" + dir + "/ca.pem' -CAkey '" +
                dir + "/ca.key' -CAcreateserial -days 2 -extfile '" + dir + "/" + name + ".ext' -out '" +
                dir + "/" + name + ".pem'");
}

void make_ca(const std::string& dir, const std::string& name) {
    run_command(
        "openssl req -x509 -newkey EC -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=" + name +
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -keyout '" +
        dir + "/" + name + ".key' -out '" + dir + "/" + name + ".pem'");
}

}  // namespace

TestCertificates make_test_certificates() {
    TestCertificates c;
    c.dir = make_temp_dir();
    ::chmod(c.dir.c_str(), 0755);  // the broker reads them as its own user
    make_ca(c.dir, "ca");
    make_ca(c.dir, "unrelated");
    issue(c.dir, "server", "server.key", "DNS:localhost,IP:127.0.0.1");
    issue(c.dir, "elsewhere", "server.key", "DNS:elsewhere.test");
    issue(c.dir, "client", "client.key", "DNS:client.test");
    run_command("chmod 0644 '" + c.dir + "'/*");
    c.ca = c.dir + "/ca.pem";
    c.server = c.dir + "/server.pem";
    c.server_key = c.dir + "/server.key";
    c.wrong_name = c.dir + "/elsewhere.pem";
    c.client = c.dir + "/client.pem";
    c.client_key = c.dir + "/client.key";
    c.unrelated_ca = c.dir + "/unrelated.pem";
    return c;
}

}  // namespace test_support
