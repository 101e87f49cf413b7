#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "server/HTTPRequest.h"
#include "server/Bird.h"
#include "ServerTestSupport.h"
#include "server/UpdateServerRequest.h"
#include "server/base64.h"

namespace {

std::string Decode(const std::string& text) {
  std::vector<uint8_t> bytes = {'x'};
  if (!base64_decode(text.data(), text.size(), bytes))
    return bytes.empty() ? "<null>" : "<failed, bytes left>";
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(HTTPRequest, BuildsQueriesInKeyOrderWithTrailingAmpersandAndNoEncoding) {
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"sn", "1"}, {"op", "qu"}, {"Z", "a b%20"}}),
            "http://h/cgi/u?Z=a b%20&op=qu&sn=1&");
}

TEST(HTTPRequest, RedirectsStayOnTheHostAndNeverLeaveHttps) {
  const std::string from = "https://updates.example.com/cgi/u?op=hi&";
  EXPECT_EQ(HTTPRequest::RedirectRefusal(from, "https://UPDATES.example.com:8443/cgi/v"), "");
  EXPECT_EQ(HTTPRequest::RedirectRefusal("http://updates.example.com/cgi/u", "https://updates.example.com/cgi/u"), "");
  EXPECT_EQ(HTTPRequest::RedirectRefusal(from, "http://updates.example.com/cgi/u"),
            "refused a redirect from HTTPS to plain HTTP (http://updates.example.com/cgi/u)");
  EXPECT_EQ(HTTPRequest::RedirectRefusal(from, "https://evil.example.net/cgi/u"),
            "refused a redirect to another host (https://evil.example.net/cgi/u)");
  EXPECT_EQ(HTTPRequest::RedirectRefusal(from, "file:///etc/passwd"), "refused a redirect to file:///etc/passwd: not HTTP");
}

TEST(UpdateServerRequest, AsksTheExactUrlOfEveryOperationAndReadsTheLabReplies) {
  ENTER_PRIVATE_NETWORK_OR_SKIP();
  LabFixture lab;
  lab.AddBird("KovaHub", 17, "1.2.3", std::string(300, 'x'));
  lab.AddBird("KovaHub", 18, "1.10.0", std::string(300, 'y'));
  lab.AddBird("F", 17, "2.0.0", "image bytes of F");
  std::string error;
  ASSERT_TRUE(lab.Start({"device 1234ABCD KovaHub", "device 0000ABCD F", "fix 1 2 A0B0C0D0 FFFFFFFF 0000ABCD 17"}, error))
      << error;
  std::string url = lab.server->Url();

  EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
  std::string build = "old", fw = "old";
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x1234ABCD, build, fw, url.c_str()));
  EXPECT_EQ(build, "18");
  EXPECT_EQ(fw, "KovaHub");
  std::string bird;
  EXPECT_TRUE(UpdateServerRequest::GetBuild(0x0000ABCD, "F", "17", bird, url.c_str()));
  BuildList builds;
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x1234ABCD, builds, url.c_str()));
  EXPECT_EQ(builds, (BuildList{{"17", "1.2.3"}, {"18", "1.10.0"}}));
  Fingerprint fp;
  fp.word[0] = 1;
  fp.word[1] = 2;
  fp.word[2] = 0xA0B0C0D0;
  fp.word[3] = 0xFFFFFFFF;
  uint32_t serial = 0, recoveryBuild = 0;
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, recoveryBuild, url.c_str()));
  EXPECT_EQ(serial, 0x0000ABCDu);
  EXPECT_EQ(recoveryBuild, 17u);

  EXPECT_EQ(lab.server->Requests(),
            (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=1234ABCD&",
                                      "/cgi/u?bld=17&fw=F&no_cal=false&op=bird&sn=0000ABCD&",
                                      "/cgi/u?op=builds&sn=1234ABCD&",
                                      "/cgi/u?brief=true&fp=00000001%2000000002%20A0B0C0D0%20FFFFFFFF&op=fix&"}));

  // The BIRD text is the module's own file: same content, its serial number stamped in.
  std::string file = Decode(bird);
  ASSERT_EQ(file.compare(0, 6, std::string("bird\x01\x01", 6)), 0);
  std::string expected = testsupport::BirdContent(testsupport::MakeBirdBytes(17, "2.0.0", "F", 0, "image bytes of F"));
  expected.replace(4 + 5 + 32, 8, "0000ABCD");  // the serial field of the information block, the first block
  EXPECT_EQ(testsupport::BirdContent(file), expected);
}

// The meter is what a download's bar shows: only the requests of the thread that installed it.
TEST(HTTPRequest, MeterCountsTheReplyOfItsOwnThreadsRequests) {
  ENTER_PRIVATE_NETWORK_OR_SKIP();
  ScriptedServer server;
  const std::string body = "ok\n" + std::string(200000, 'A');
  server.Answer(200, body);
  HTTPRequest::Meter meter;
  std::thread other([&] { HTTPRequest::GET(server.url(), {}, HTTPRequest::DownloadLimits); });
  other.join();
  EXPECT_EQ(meter.done, 0u);
  {
    HTTPRequest::Metered metered(&meter);
    HTTPResponse reply = HTTPRequest::GET(server.url(), {}, HTTPRequest::DownloadLimits);
    EXPECT_EQ(std::string(reply.get_response()), body);
  }
  EXPECT_EQ(meter.total, body.size());
  EXPECT_EQ(meter.done, body.size());
  HTTPRequest::GET(server.url(), {{"a", "b"}}, HTTPRequest::DownloadLimits);
  EXPECT_EQ(meter.done, body.size());  // no longer installed: untouched
}

TEST(UpdateServerRequest, StatusAndOkLineDecideSuccess) {
  ENTER_PRIVATE_NETWORK_OR_SKIP();
  ScriptedServer server;
  std::string url = server.url();
  LogCapture log(DEBUG_ServerComm);

  server.Answer(200, "ok\n");
  EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
  server.Answer(404, "ok\n");
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  EXPECT_NE(log.text().find("PING ==> [404] [ok\n]\n"), std::string::npos) << log.text();
  server.Answer(500, "ok\n1\n2\n");
  std::string build = "b", fw = "f";
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, fw, url.c_str()));
  EXPECT_NE(log.text().find("QueryBuild ==> [500] [ok\n1\n2\n]\n"), std::string::npos);

  server.Answer(200, "okay\n");
  EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
  server.Answer(200, "o\nok\n");
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  server.Answer(200, "");
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  server.Answer(200, "\n\n");
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  EXPECT_NE(log.text().find("ServerCommClass: ping failed [" + url + "?op=hi&rv=2&]\n"), std::string::npos);
  // A refused request leaves the outputs as they were.
  server.Answer(200, "error\n99\nX\n");
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, fw, url.c_str()));
  EXPECT_EQ(build + fw, "bf");
}

TEST(UpdateServerRequest, TakesOutputsFromTheReplyLines) {
  ENTER_PRIVATE_NETWORK_OR_SKIP();
  ScriptedServer server;
  std::string url = server.url();

  std::string build = "b", fw = "f";
  server.Answer(200, "ok\n");
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x1234ABCD, build, fw, url.c_str()));
  EXPECT_EQ(build + fw, "bf");
  server.Answer(200, "ok\n\n42\n\nFWID\r\n");
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x1234ABCD, build, fw, url.c_str()));
  EXPECT_EQ(build, "42");
  EXPECT_EQ(fw, "FWID");
  server.Answer(200, "ok\n43\n");
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x1234ABCD, build, fw, url.c_str()));
  EXPECT_EQ(build + "/" + fw, "43/FWID");

  std::string bird = "stale";
  server.Answer(200, "ok\n");
  EXPECT_TRUE(UpdateServerRequest::GetBuild(0x0000ABCD, "F", "17", bird, url.c_str()));
  EXPECT_EQ(bird, "");
  EXPECT_EQ(server.lastTarget(), "/cgi/u?bld=17&fw=F&no_cal=false&op=bird&sn=0000ABCD&");
  server.Answer(200, "ok\nQUJD\n");
  EXPECT_TRUE(UpdateServerRequest::GetBuild(1, "F", "17", bird, url.c_str()));
  EXPECT_EQ(bird, "QUJD");
  EXPECT_EQ(server.lastTarget(), "/cgi/u?bld=17&fw=F&no_cal=false&op=bird&sn=00000001&");

  BuildList builds = {{"stale", "x"}};
  server.Answer(200, "ok\n42;1.2.3\nx\n42;9.9.9\n43\n143\n");
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(1, builds, url.c_str()));
  EXPECT_EQ(builds, (BuildList{{"42", "1.2.3"}, {"143", ""}}));
  server.Answer(200, "ok\n;;;\n50;2.0\r\n");
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(1, builds, url.c_str()));
  EXPECT_EQ(builds, (BuildList{{"50", "2.0"}}));
  server.Answer(200, "ok\n");
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(1, builds, url.c_str()));
  EXPECT_TRUE(builds.empty());
  builds = {{"stale", "x"}};
  server.Answer(503, "ok\n42;1\n");
  EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, url.c_str()));
  EXPECT_TRUE(builds.empty());

  Fingerprint fp;
  uint32_t serial = 7, recoveryBuild = 7;
  server.Answer(200, "ok\n1A2B\n0x10\n");
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, recoveryBuild, url.c_str()));
  EXPECT_EQ(serial, 0x1A2Bu);
  EXPECT_EQ(recoveryBuild, 16u);
  // A leading zero is no octal: "010" is build 10.
  server.Answer(200, "ok\n1A2B\n010\r\n");
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, recoveryBuild, url.c_str()));
  EXPECT_EQ(recoveryBuild, 10u);
  server.Answer(200, "nope\n99\n99\n");
  EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fp, serial, recoveryBuild, url.c_str()));
  EXPECT_EQ(serial, 0x1A2Bu);
  EXPECT_EQ(recoveryBuild, 10u);
  // A number that does not fit 32 bits, or trails junk, is refused whole and
  // leaves both outputs alone, instead of being cut to another module or build.
  const char* refused[][2] = {{"10000FA11", "5"},  {"1A2B", "4294969396"}, {"1A2B", "-1"},
                              {"1A2Bx", "5"},      {"1A2B", "12 "},        {"1A2B", "0x"},
                              {"0x", "5"},         {"1A2B", "5\rjunk"}};
  std::string cause;
  for (auto& lines : refused) {
    server.Answer(200, std::string("ok\n") + lines[0] + "\n" + lines[1] + "\n");
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fp, serial, recoveryBuild, url.c_str(), &cause))
        << lines[0] << " / " << lines[1];
    EXPECT_NE(cause.find("is not a 32-bit number"), std::string::npos) << cause;
    EXPECT_EQ(serial, 0x1A2Bu);
    EXPECT_EQ(recoveryBuild, 10u);
  }
  server.Answer(200, "ok\n0xFFFFFFFF\n4294967295\n");
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, recoveryBuild, url.c_str()));
  EXPECT_EQ(serial, 0xFFFFFFFFu);
  EXPECT_EQ(recoveryBuild, 0xFFFFFFFFu);
}

TEST(UpdateServerRequest, TransportFailuresAreLoggedAndNeverThrown) {
  ENTER_PRIVATE_NETWORK_OR_SKIP();
  LogCapture log(DEBUG_ServerComm);
  // Nothing listens on port 1 of the private loopback.
  const char* url = "http://127.0.0.1:1/cgi/u";
  std::string build, fw, bird;
  BuildList builds;
  Fingerprint fp;
  uint32_t serial = 0, recoveryBuild = 0;
  EXPECT_FALSE(UpdateServerRequest::ping(url));
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, fw, url));
  EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "F", "1", bird, url));
  EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, url));
  EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fp, serial, recoveryBuild, url));
  for (const char* name : {"ping", "QueryBuild", "GetBuild", "GetBuildList", "GetRecoveryInfo"})
    EXPECT_NE(log.text().find(std::string(name) + " ==> [Couldn't connect to server]\n"), std::string::npos) << name;
  EXPECT_THROW(HTTPRequest::GET(url, {}), std::runtime_error);
}

TEST(UpdateServerRequest, LabFaultSwitchesEndInFailures) {
  ENTER_PRIVATE_NETWORK_OR_SKIP();
  LabFixture lab;
  lab.AddBird("KovaHub", 17, "1.2.3", std::string(4000, 'x'));
  std::string error;
  ASSERT_TRUE(lab.Start({"device 1234ABCD KovaHub"}, error)) << error;
  std::string url = lab.server->Url();
  LogCapture log(DEBUG_ServerComm);
  std::string bird;

  lab.server->SetFaults({LabFault{"bird", LabFault::Close, 0}});
  EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
  EXPECT_FALSE(UpdateServerRequest::GetBuild(0x1234ABCD, "KovaHub", "17", bird, url.c_str()));
  EXPECT_NE(log.text().find("GetBuild ==> [Transferred a partial file]"), std::string::npos) << log.text();

  lab.server->SetFaults({LabFault{"*", LabFault::Status, 503}});
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  EXPECT_NE(log.text().find("PING ==> [503] [refused\n]"), std::string::npos);

  // A stalled reply is abandoned after the stall period instead of hanging.
  setenv("UPDATER_HTTP_STALL_SECONDS", "1", 1);
  lab.server->SetFaults({LabFault{"*", LabFault::Stall, 60}});
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  unsetenv("UPDATER_HTTP_STALL_SECONDS");
  EXPECT_LT(seconds, 5.0);
  EXPECT_GE(seconds, 0.9);
  EXPECT_NE(log.text().find("ping ==> [Timeout was reached]"), std::string::npos) << log.text();
  EXPECT_EQ(HTTPRequest::StallSeconds(), 60);
}

TEST(Base64, EncodesAndDecodesWithPadding) {
  const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (auto& v : vectors) {
    EXPECT_EQ(base64_encode(reinterpret_cast<const unsigned char*>(v[0]), std::strlen(v[0])), v[1]);
    EXPECT_EQ(Decode(v[1]), v[0]);
  }
  EXPECT_EQ(Decode("QQ=="), "A");

  // Every byte value, every length remainder, through the lab's own encoder too.
  std::string all;
  for (int i = 0; i < 256 * 3 + 2; i++)
    all += static_cast<char>((i * 7 + i / 256) & 0xFF);
  for (size_t n : {all.size(), all.size() - 1, all.size() - 2}) {
    std::string part = all.substr(0, n);
    std::string text = base64_encode(reinterpret_cast<const unsigned char*>(part.data()), part.size());
    EXPECT_EQ(text, LabBase64Encode(part));
    EXPECT_EQ(Decode(text), part);
  }
}

TEST(Base64, RejectsMalformedText) {
  const std::string bad[] = {"QQ=", "QUJDR", "QQ=A", "Q===", "====", "=QQQ", "QQ#=", "QU JD", "QUJD\nQUJ",
                             std::string("QUJ\0", 4)};
  for (const std::string& text : bad)
    EXPECT_EQ(Decode(text), "<null>") << text;
  std::vector<unsigned char> table = base64::_build_decoding_table();
  ASSERT_EQ(table.size(), 256u);
  EXPECT_EQ(table['A'], 0);
  EXPECT_EQ(table['/'], 63);
  EXPECT_EQ(table['='], 0xFF);
}
