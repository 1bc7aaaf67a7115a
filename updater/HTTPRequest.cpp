// HTTPRequest: GET on a libcurl easy handle, one handle per call so that calls
// on different threads share nothing. See HTTPRequest.h.
#include "updater/HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "app/Log.h"

namespace {

std::atomic<long> sConnectTimeout{HTTPRequest::Limits{}.connectTimeoutSeconds};
std::atomic<long> sLowSpeedLimit{HTTPRequest::Limits{}.lowSpeedBytesPerSecond};
std::atomic<long> sLowSpeedTime{HTTPRequest::Limits{}.lowSpeedSeconds};

size_t rcv_data(char* data, size_t size, size_t count, void* user) {
    auto* response = static_cast<HTTPResponse*>(user);
    const size_t length = size * count;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%.*s]\n", static_cast<int>(size),
             static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(user)),
             static_cast<int>(std::min<size_t>(length, 100)), data);
    response->process(data, length);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
    return length;
}

// A non-empty environment variable, or null.
const char* sEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

}  // namespace

std::string HTTPRequest::BuildURL(const std::string& base, const Parameters& parameters) {
    std::string url = base;
    if (!parameters.empty()) {
        url += '?';
        for (const auto& [key, value] : parameters) {
            url += key;
            url += '=';
            url += value;
            url += '&';
        }
    }
    return url;
}

HTTPRequest::Limits HTTPRequest::GetLimits() {
    return Limits{sConnectTimeout.load(), sLowSpeedLimit.load(), sLowSpeedTime.load()};
}

void HTTPRequest::SetLimits(const Limits& limits) {
    sConnectTimeout = limits.connectTimeoutSeconds;
    sLowSpeedLimit = limits.lowSpeedBytesPerSecond;
    sLowSpeedTime = limits.lowSpeedSeconds;
}

HTTPResponse HTTPRequest::GET(const std::string& base, const Parameters& parameters) {
    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    const std::string url = BuildURL(base, parameters);
    HTTPResponse response(url);
    if (!curl) throw std::runtime_error("Could not create curl instance");
    CURL* h = curl.get();

    // Peer and host name are verified. Trust beyond the system store comes
    // from the variables libcurl users know: CURL_CA_BUNDLE, else
    // SSL_CERT_FILE, and SSL_CERT_DIR for a hashed certificate directory.
    const char* caFile = sEnv("CURL_CA_BUNDLE");
    if (!caFile) caFile = sEnv("SSL_CERT_FILE");
    const char* caDir = sEnv("SSL_CERT_DIR");

    char detail[CURL_ERROR_SIZE] = {0};
    CURLcode rc = curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, rcv_data);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
    if (rc == CURLE_OK && caFile) rc = curl_easy_setopt(h, CURLOPT_CAINFO, caFile);
    if (rc == CURLE_OK && caDir) rc = curl_easy_setopt(h, CURLOPT_CAPATH, caDir);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, sConnectTimeout.load());
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, sLowSpeedLimit.load());
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, sLowSpeedTime.load());
    // The update server speaks HTTP(S); no other scheme is ever followed.
#if LIBCURL_VERSION_NUM >= 0x075500
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
#else
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    // No signals: the download runs on a worker thread.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);

    long status = 0;
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", url.c_str());
        rc = curl_easy_perform(h);
    }
    if (rc == CURLE_OK) rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s) failed: %s (%s)\n", url.c_str(), curl_easy_strerror(rc), detail);
        throw std::runtime_error(curl_easy_strerror(rc));
    }
    response.set_status(status);
    return response;
}
