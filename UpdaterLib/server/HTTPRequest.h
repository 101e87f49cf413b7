// One HTTP GET with a key=value query, carried by libcurl's easy interface.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// The result of one GET: the URL asked for, the status and the body.
class HTTPResponse {
public:
  explicit HTTPResponse(const std::string& request);

  // The body, NUL-terminated; the caller may tokenise it in place.
  char* get_response() { return &response[0]; }
  const std::string& body() const { return response; }
  int64_t get_status() const { return status; }
  const std::string& get_request() const { return request; }
  void set_status(long code) { status = code; }
  // False, keeping nothing of the chunk, once the body would pass its limit.
  bool process(const char* data, size_t length);
  void set_limit(size_t bytes) { limit = bytes; }
  bool overflowed() const { return tooLarge; }

private:
  std::string request;
  int64_t status = 0;
  std::string response;
  size_t limit = SIZE_MAX;
  bool tooLarge = false;
};

class HTTPRequest {
public:
  // Ordered by key, so the keys appear in the URL in byte order.
  typedef std::map<std::string, std::string> Parameters;

  // Base URL, "?" when there are parameters, then "key=value&" per pair.
  // Nothing is percent-encoded: values that need it arrive encoded.
  static std::string BuildURL(const std::string& url, const Parameters& params);

  // Bounds of one request, so that no server can hold the program or fill its
  // memory: the whole request's duration and the size of the reply.
  struct Limits {
    long totalSeconds;
    size_t maxBytes;
  };
  // Short questions with short answers (ping, queries, build lists).
  static const Limits QueryLimits;
  // A BIRD file in base64: well above the largest file the store accepts.
  static const Limits DownloadLimits;

  // Throws std::runtime_error with libcurl's error text on a transport failure,
  // also when a limit ends the request.
  static HTTPResponse GET(const std::string& url, const Parameters& params, const Limits& limits = QueryLimits);

  // Why a redirect from one URL to another is not followed (empty when it is):
  // to another host, from HTTPS to plain HTTP, or to something not HTTP.
  static std::string RedirectRefusal(const std::string& from, const std::string& to);
  static const int kMaxRedirects = 5;

  // How far the reply of the current request has come: bytes so far and in
  // all (0 while the server has not said). Written by the thread that makes
  // the requests, read by another one that shows it.
  struct Meter {
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> total{0};
  };
  // While one lives, the requests of its thread report to `meter`.
  class Metered {
  public:
    explicit Metered(Meter* meter);
    ~Metered();
    Metered(const Metered&) = delete;
    Metered& operator=(const Metered&) = delete;
  };

  // libcurl write callback; userdata is the HTTPResponse being filled.
  static size_t _rcv_data(char* data, size_t size, size_t nmemb, void* userdata);

  // Seconds without any data after which a transfer is abandoned.
  static long StallSeconds();
  // The request's overall time limit.
  static long TotalSeconds(const Limits& limits);

private:
  // One request without following redirects; `location` receives where a redirect points.
  static HTTPResponse Perform(const std::string& url, const Limits& limits, std::string& location);
};
