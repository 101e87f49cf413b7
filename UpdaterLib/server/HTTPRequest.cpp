#include "server/HTTPRequest.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <mutex>
#include <stdexcept>

#include "Interrupt.h"
#include "Log.h"
#include "aNumber.h"

namespace {

// A server that stops sending would otherwise hold the program for ever.
const long kDefaultStallSeconds = 60;
// Test hooks only: let the stall and time-limit tests finish in seconds.
const char* const kStallEnvironment = "UPDATER_HTTP_STALL_SECONDS";
const char* const kTotalEnvironment = "UPDATER_HTTP_TOTAL_SECONDS";

long sSecondsFromEnvironment(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text)
    return fallback;
  uint32_t seconds = 0;
  if (aNumber_ParseU32(text, 10, &seconds) != aErrNone || seconds == 0)
    return fallback;
  return static_cast<long>(seconds);
}

// curl_easy_init would do this lazily, but not thread-safely; the download
// runs its request on a worker thread.
void sGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Called by libcurl about once a second and on every chunk: a Ctrl-C or a
// termination request ends the transfer instead of waiting for its end.
// The meter of this thread's requests, if its caller shows their progress.
thread_local HTTPRequest::Meter* tMeter = nullptr;

int cbProgress(void*, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
  if (tMeter) {
    tMeter->total = dltotal > 0 ? static_cast<uint64_t>(dltotal) : 0;
    tMeter->done = dlnow > 0 ? static_cast<uint64_t>(dlnow) : 0;
  }
  return Interrupt::Requested() ? 1 : 0;
}

[[noreturn]] void sFail(CURLcode code) { throw std::runtime_error(curl_easy_strerror(code)); }

// A TLS failure says what was wrong with the certificate or the host name in
// libcurl's error buffer; its code alone only says that something was.
[[noreturn]] void sFailTransfer(CURLcode code, const char* detail) {
  bool tls = code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CONNECT_ERROR ||
             code == CURLE_SSL_CACERT_BADFILE || code == CURLE_SSL_CERTPROBLEM;
  if (tls && detail && *detail)
    throw std::runtime_error(detail);
  sFail(code);
}

// The CA bundle the user names, as the curl tool and OpenSSL read it; unset
// leaves libcurl's default (the system's trusted certificates).
CURLcode sTrustSettings(CURL* curl) {
  const char* bundle = std::getenv("CURL_CA_BUNDLE");
  if (!bundle || !*bundle)
    bundle = std::getenv("SSL_CERT_FILE");
  CURLcode rc = CURLE_OK;
  if (bundle && *bundle)
    rc = curl_easy_setopt(curl, CURLOPT_CAINFO, bundle);
  const char* directory = std::getenv("SSL_CERT_DIR");
  if (rc == CURLE_OK && directory && *directory)
    rc = curl_easy_setopt(curl, CURLOPT_CAPATH, directory);
  // Peer and host name are always verified (libcurl's defaults, stated so they stay).
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
#if LIBCURL_VERSION_NUM >= 0x075500
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  return rc;
}

// Scheme and host of a URL, lower case; false when it does not parse.
bool sSchemeAndHost(const std::string& url, std::string& scheme, std::string& host) {
  std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl_url(), curl_url_cleanup);
  char* part = nullptr;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return false;
  for (std::string* out : {&scheme, &host}) {
    // A URL without a host (file:///...) has a scheme that is refused anyway.
    if (curl_url_get(parsed.get(), out == &scheme ? CURLUPART_SCHEME : CURLUPART_HOST, &part, 0) != CURLUE_OK)
      return out == &host;
    *out = part;
    curl_free(part);
    for (char& c : *out)
      c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  return true;
}

}  // namespace

std::string HTTPRequest::RedirectRefusal(const std::string& from, const std::string& to) {
  std::string fromScheme, fromHost, toScheme, toHost;
  if (!sSchemeAndHost(from, fromScheme, fromHost) || !sSchemeAndHost(to, toScheme, toHost))
    return "refused a redirect to " + to + ": not a URL";
  if (toScheme != "http" && toScheme != "https")
    return "refused a redirect to " + to + ": not HTTP";
  if (fromScheme == "https" && toScheme == "http")
    return "refused a redirect from HTTPS to plain HTTP (" + to + ")";
  if (toHost != fromHost)
    return "refused a redirect to another host (" + to + ")";
  return std::string();
}

namespace {

// The easy handle is cleaned up on every way out, exceptions included.
using CurlHandle = std::unique_ptr<CURL, void (*)(CURL*)>;

}  // namespace

HTTPResponse::HTTPResponse(const std::string& request_) : request(request_) {}

std::string HTTPRequest::BuildURL(const std::string& url, const Parameters& params) {
  std::string full = url;
  if (!params.empty())
    full += "?";
  for (const auto& kv : params)
    full += kv.first + "=" + kv.second + "&";
  return full;
}

const HTTPRequest::Limits HTTPRequest::QueryLimits = {30, 1024 * 1024};
// The store takes BIRD files up to 512 MiB; in base64 that is about 683 MiB.
const HTTPRequest::Limits HTTPRequest::DownloadLimits = {30 * 60, 768u * 1024 * 1024};

long HTTPRequest::StallSeconds() { return sSecondsFromEnvironment(kStallEnvironment, kDefaultStallSeconds); }

long HTTPRequest::TotalSeconds(const Limits& limits) {
  return sSecondsFromEnvironment(kTotalEnvironment, limits.totalSeconds);
}

bool HTTPResponse::process(const char* data, size_t length) {
  if (tooLarge || length > limit - response.size()) {
    tooLarge = true;
    return false;
  }
  response.append(data, length);
  return true;
}

size_t HTTPRequest::_rcv_data(char* data, size_t size, size_t nmemb, void* userdata) {
  HTTPResponse* response = static_cast<HTTPResponse*>(userdata);
  size_t count = size * nmemb;
  // The chunk is not NUL-terminated: bound the preview by its real length.
  int preview = count < 100 ? static_cast<int>(count) : 100;
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
           static_cast<int>(nmemb), static_cast<unsigned>(reinterpret_cast<uintptr_t>(userdata) & 0xFFFFFFFFu), preview,
           data);
  // Taking less than offered makes libcurl end the transfer.
  if (!response->process(data, count)) {
    Log::log(DEBUG_ServerComm, "rcv_data: reply too large, transfer ended\n");
    return 0;
  }
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(count));
  return count;
}

HTTPResponse HTTPRequest::GET(const std::string& url, const Parameters& params, const Limits& limits) {
  std::string target = BuildURL(url, params);
  for (int hop = 0;; hop++) {
    std::string location;
    HTTPResponse response = Perform(target, limits, location);
    if (location.empty())
      return response;
    std::string refusal = RedirectRefusal(target, location);
    if (!refusal.empty())
      throw std::runtime_error(refusal);
    if (hop == kMaxRedirects)
      throw std::runtime_error("more than " + std::to_string(kMaxRedirects) + " redirects");
    Log::log(DEBUG_ServerComm, "redirected to %s\n", location.c_str());
    target = location;
  }
}

HTTPRequest::Metered::Metered(Meter* meter) { tMeter = meter; }

HTTPRequest::Metered::~Metered() { tMeter = nullptr; }

HTTPResponse HTTPRequest::Perform(const std::string& url, const Limits& limits, std::string& location) {
  sGlobalInit();
  CurlHandle handle(curl_easy_init(), curl_easy_cleanup);
  CURL* curl = handle.get();
  if (!curl)
    throw std::runtime_error("Could not create curl instance");

  HTTPResponse response(url);
  char detail[CURL_ERROR_SIZE] = "";
  response.set_limit(limits.maxBytes);
  CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_URL, response.get_request().c_str());
  // Abort a transfer that moves no data at all for the stall period; every
  // other setting stays at libcurl's default.
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, StallSeconds());
  // A server that drips bytes passes the stall check; the whole request is bounded too.
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_TIMEOUT, TotalSeconds(limits));
  // An announced length beyond the limit ends the request before any byte is kept.
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, cbProgress);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
  if (rc == CURLE_OK)
    rc = sTrustSettings(curl);
  if (rc != CURLE_OK)
    sFail(rc);

  Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request().c_str());
  rc = curl_easy_perform(curl);
  if (rc != CURLE_OK && response.overflowed())
    throw std::runtime_error("reply larger than " + std::to_string(limits.maxBytes) + " bytes");
  if (rc == CURLE_ABORTED_BY_CALLBACK)
    throw std::runtime_error("interrupted");
  if (rc != CURLE_OK)
    sFailTransfer(rc, detail);

  long code = 0;
  rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  if (rc != CURLE_OK)
    sFail(rc);
  response.set_status(code);
  // Redirects are not followed by libcurl: each is judged first.
  char* redirect = nullptr;
  if (code >= 300 && code < 400 && curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK && redirect)
    location = redirect;
  return response;
}
