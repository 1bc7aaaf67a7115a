// The update server's address: the one place that names its host. Used by the
// option defaults (--http, --https), the usage text and the server requests.
#pragma once

#define UPDATE_SERVER_HOST "updates.corvantis.example"
#define UPDATE_SERVER_HTTP_URL_TEXT "http://" UPDATE_SERVER_HOST "/cgi/u"
#define UPDATE_SERVER_HTTPS_URL_TEXT "https://" UPDATE_SERVER_HOST "/cgi/u"

// The plain-HTTP URL is the default; HTTPS is chosen with --https.
constexpr const char* UPDATE_SERVER_HOST_NAME = UPDATE_SERVER_HOST;
constexpr const char* UPDATE_SERVER_HTTP_URL = UPDATE_SERVER_HTTP_URL_TEXT;
constexpr const char* UPDATE_SERVER_HTTPS_URL = UPDATE_SERVER_HTTPS_URL_TEXT;
