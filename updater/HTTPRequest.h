// HTTPRequest: one HTTP or HTTPS GET on libcurl whose parameters travel in the
// query string and whose whole answer is read into memory. Used by
// UpdateServerRequest for every question to the update server.
//
// TLS peers are verified, host name included, against the system's CA store;
// a private server's CA is trusted through CURL_CA_BUNDLE (or SSL_CERT_FILE,
// SSL_CERT_DIR), as with other libcurl programs. A connect time-out and a
// low-speed limit end a dead or stalled server instead of hanging forever,
// while a slow but moving download may take as long as it needs.
#pragma once

#include <map>
#include <string>

#include "updater/HTTPResponse.h"

class HTTPRequest {
  public:
    using Parameters = std::map<std::string, std::string>;

    struct Limits {
        long connectTimeoutSeconds = 30;  // to establish the connection (and TLS)
        long lowSpeedBytesPerSecond = 1;  // abort when the rate stays below this...
        long lowSpeedSeconds = 60;        // ...for this long
    };

    // base?key=value&key=value& in the map's key order; exactly base when the
    // map is empty. Keys and values are taken as they are (no percent-encoding).
    static std::string BuildURL(const std::string& base, const Parameters& parameters);

    // Performs the GET. Any HTTP status is a normal return; transport failures
    // throw std::runtime_error with libcurl's description of the error.
    static HTTPResponse GET(const std::string& base, const Parameters& parameters);

    // Process-wide limits used by GET (set before requests start).
    static Limits GetLimits();
    static void SetLimits(const Limits& limits);
};
