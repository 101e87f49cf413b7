// One HTTP GET with a key=value query, carried by libcurl's easy interface.
#pragma once
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
  void process(const char* data, size_t length) { response.append(data, length); }

private:
  std::string request;
  int64_t status = 0;
  std::string response;
};

class HTTPRequest {
public:
  // Ordered by key, so the keys appear in the URL in byte order.
  typedef std::map<std::string, std::string> Parameters;

  // Base URL, "?" when there are parameters, then "key=value&" per pair.
  // Nothing is percent-encoded: values that need it arrive encoded.
  static std::string BuildURL(const std::string& url, const Parameters& params);

  // Throws std::runtime_error with libcurl's error text on a transport failure.
  static HTTPResponse GET(const std::string& url, const Parameters& params);

  // libcurl write callback; userdata is the HTTPResponse being filled.
  static size_t _rcv_data(char* data, size_t size, size_t nmemb, void* userdata);

  // Seconds without any data after which a transfer is abandoned.
  static long StallSeconds();
};
