// The update server's address: the one place that names its host. Used by the
// option defaults (--http, --https), the usage text and the server requests.
#pragma once

#define UPDATE_SERVER_HOST "updates.corvantis.example"
#define UPDATE_SERVER_PATH "/cgi/u"

// The plain-HTTP URL is the default; HTTPS is chosen with --https.
constexpr const char* UPDATE_SERVER_HOST_NAME = UPDATE_SERVER_HOST;
constexpr const char* UPDATE_SERVER_HTTP_URL = "http://" UPDATE_SERVER_HOST UPDATE_SERVER_PATH;
constexpr const char* UPDATE_SERVER_HTTPS_URL = "https://" UPDATE_SERVER_HOST UPDATE_SERVER_PATH;
