// The updater against the lab update server over HTTPS, with a certificate
// authority made for the test: trusted only when named, only for the host
// name in the certificate, and never left for plain HTTP or another host.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "JsonSchemaCheck.h"
#include "LabServerSupport.h"
#include "PrivateStoreTest.h"
#include "TestSupport.h"

using testsupport::LabServerProcess;
using testsupport::ProgramResult;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class HttpsE2E : public testsupport::PrivateStoreTest {
protected:
  void SetUp() override {
    PrivateStoreTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
      return;
    const std::string ca = dir.file("ca"), server = dir.file("server");
    Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
             ca + ".key", "-out", ca + ".crt", "-days", "2", "-subj", "/CN=Lab test CA"});
    Openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", server + ".key",
             "-out", server + ".csr", "-subj", "/CN=127.0.0.1"});
    testsupport::WriteFile(dir.file("san.cnf"), "subjectAltName=IP:127.0.0.1\n");
    Openssl({"x509", "-req", "-in", server + ".csr", "-CA", ca + ".crt", "-CAkey", ca + ".key", "-CAcreateserial",
             "-out", server + ".crt", "-days", "2", "-extfile", dir.file("san.cnf")});
    Openssl({"genpkey", "-algorithm", "ed25519", "-out", dir.file("maker.pem")});
    Openssl({"pkey", "-in", dir.file("maker.pem"), "-pubout", "-out", dir.file("keys/maker.pub")});
    mkdir(catalogue.file("Holvex").c_str(), 0755);
    ProgramResult r = testsupport::RunProgram(
        {testsupport::BinPath("birdpack"), "-o", catalogue.file("Holvex/40.bird"), "--model", "Holvex", "--build",
         "40", "--firmware-random", "2048@0x1000", "--sign", dir.file("maker.pem")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  void Openssl(std::vector<std::string> args) {
    mkdir(dir.file("keys").c_str(), 0755);
    args.insert(args.begin(), {"/usr/bin/env", "openssl"});
    ProgramResult r = testsupport::RunProgram(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  // A lab server over HTTPS with the test certificate, and `extra` options.
  std::string Start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--catalogue", catalogue.path(), "--device", "1234ABCD:Holvex",
                                     "--tls-cert", dir.file("server.crt"), "--tls-key", dir.file("server.key")};
    args.insert(args.end(), extra.begin(), extra.end());
    servers.emplace_back(new LabServerProcess(args));
    EXPECT_TRUE(servers.back()->ok());
    return servers.back()->url();
  }
  // The updater with the test CA as the only trusted authority (or none: the system's).
  ProgramResult Run(const std::vector<std::string>& args, bool trustTestCa = true) {
    return Updater(args, {"CURL_CA_BUNDLE=", "SSL_CERT_DIR=", "UPDATER_TRUSTED_KEYS=" + dir.file("keys"),
                          "SSL_CERT_FILE=" + (trustTestCa ? dir.file("ca.crt") : std::string())});
  }
  static std::string Port(const std::string& url) {
    size_t colon = url.rfind(':');
    return url.substr(colon + 1, url.find('/', colon) - colon - 1);
  }

  testsupport::TempDir dir, catalogue;
  std::vector<std::unique_ptr<LabServerProcess>> servers;
};

}  // namespace

TEST_F(HttpsE2E, TrustedCertificateWorksAndEveryOtherServerIsRefusedWithItsReason) {
  const std::string url = Start({"--sign-key", dir.file("maker.pem")});
  ASSERT_EQ(url.compare(0, 8, "https://"), 0) << url;
  ProgramResult r = Run({"-G", "-d", "1234ABCD", "-u", url, "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  // The server wrote the module's serial number in and signed the file again.
  EXPECT_TRUE(Has(r.out, "\"signature\": \"trusted\"")) << r.out;
  EXPECT_EQ(jsonschema::DocumentProblems(nlohmann::json::parse(testsupport::ReadFile(testsupport::SourcePath("packaging/updater-result.schema.json"))), r.out), std::vector<std::string>()) << r.out;
  const std::string stored = testsupport::ReadFile(storeDir.file("updater/1234ABCD/40.bird"));
  EXPECT_FALSE(stored.empty());

  r = Run({"-B", "-d", "1234ABCD", "-u", url}, false);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.err, "SSL certificate problem: unable to get local issuer certificate")) << r.err;
  // The same trust through CURL_CA_BUNDLE, which comes first.
  r = Updater({"-B", "-d", "1234ABCD", "-u", url}, {"CURL_CA_BUNDLE=" + dir.file("ca.crt"), "SSL_CERT_FILE=/nowhere"});
  EXPECT_EQ(r.exitCode, 0) << r.err;

  const std::string port = Port(url);
  r = Run({"-B", "-d", "1234ABCD", "-u", "https://localhost:" + port + "/cgi/u"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.err, "no alternative certificate subject name matches target host name 'localhost'")) << r.err;

  r = Run({"-B", "-d", "1234ABCD", "-u", Start({"--redirect", "http://127.0.0.1:" + port})});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.err, "refused a redirect from HTTPS to plain HTTP (http://127.0.0.1:" + port + "/cgi/u?op=hi"))
      << r.err;
  r = Run({"-B", "-d", "1234ABCD", "-u", Start({"--redirect", "https://localhost:" + port})});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.err, "refused a redirect to another host (https://localhost:" + port)) << r.err;
  // A redirect within the same host is followed.
  r = Run({"-B", "-d", "1234ABCD", "-u", Start({"--redirect", "https://127.0.0.1:" + port})});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "40 ")) << r.out;

  // A server that writes the serial number in without the key breaks the signature: refused, not stored.
  r = Run({"-G", "-d", "1234ABCD", "-b", "40", "-u", Start()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.err, "Bird file 40.bird is not signed by a trusted key (signed by ")) << r.err;
  EXPECT_EQ(testsupport::ReadFile(storeDir.file("updater/1234ABCD/40.bird")), stored);
}
