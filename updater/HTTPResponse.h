// HTTPResponse: what one GET of HTTPRequest brought back: the full URL that
// was requested, the HTTP status and the body as received. Filled by
// HTTPRequest, read by UpdateServerRequest. A plain value, copied freely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

class HTTPResponse {
  public:
    explicit HTTPResponse(std::string request = {}) : request_(std::move(request)) {}

    const std::string& get_request() const { return request_; }
    const std::string& get_response() const { return response_; }
    int64_t get_status() const { return status_; }

    void set_status(int64_t status) { status_ = status; }
    // Appends a chunk of the body; any bytes, NUL included.
    void process(const char* bytes, size_t length) { response_.append(bytes, length); }

  private:
    std::string request_;   // the requested URL, query included
    int64_t status_ = 0;    // 0 until a response arrived
    std::string response_;  // the body
};
