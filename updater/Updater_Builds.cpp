// Updater flows that talk to the update server without touching a module:
// Download_Firmware (-G) fetches one build as a BIRD file into the module's
// store directory on a worker thread behind a spinner, Get_BuildList (-B)
// lists the server's builds, Get_JWT (-J) fetches the feature token, and
// _valid_build checks a build against the server's list.
#include <cctype>
#include <chrono>
#include <ctime>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/Log.h"
#include "app/ServerUrls.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"
#include "updater/UpdaterStore.h"
#include "updater/base64.h"

namespace {

constexpr const char* SPINNER_LABEL = "Downloading";

// A build number text: decimal digits only, within 32 bits.
std::optional<uint32_t> sBuildNumber(const std::string& text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(value);
}

// The local time as ctime writes it, without its newline.
std::string sNow() {
    const std::time_t now = std::time(nullptr);
    char text[64] = "";
    if (!ctime_r(&now, text)) return "";
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

// What the download thread needs, copied to it; it shares only the promise
// and the output text with the flow, which reads the text after the join.
struct DownloadJob {
    std::string url;
    std::promise<bool>& done;
    uint32_t serial;
    std::string firmware;
    std::string build;
    std::string& output;
    bool noCal;

    void operator()() {
        bool ok = false;
        try {
            ok = UpdateServerRequest::GetBuild(serial, firmware, build, output, url.c_str(), noCal);
        } catch (const std::exception& e) {
            Log::log(DEBUG_ServerComm, "GetBuild ==> [%s]\n", e.what());
        }
        done.set_value(ok);
    }
};

}  // namespace

uint32_t Updater::Download_Firmware(uint32_t serial, std::string buildText, bool override, bool noCal) {
    const std::string url = serverUrl.empty() ? UPDATE_SERVER_HTTP_URL : serverUrl;

    uint32_t build = 0;
    if (!buildText.empty()) {
        const auto number = sBuildNumber(buildText);
        if (!number) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Build number '%s' must be an number",
                            buildText.c_str());
            return 0;
        }
        build = *number;
    }
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(url.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", url.c_str());
        return 0;
    }

    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeRoot, "Download_Firmware");
    if (!store) return 0;
    UpdaterStoreItem item;
    if (!store->FindDevice(serial, &item)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            item = store->AddDevice(serial);
        } catch (const std::runtime_error& e) {
            Log::log(DEBUG_Updater, "%s\n", e.what());
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string serverBuild, firmware;
    if (!UpdateServerRequest::QueryBuild(serial, serverBuild, firmware, url.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No build information for device");
        return 0;
    }
    if (build == 0) {
        const auto number = sBuildNumber(serverBuild);
        if (!number || *number == 0) {
            // Without a usable build number there is nothing to fetch or file.
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", serverBuild.c_str());
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No build information for device");
            return 0;
        }
        build = *number;
    }

    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving build %u", build);
    if (override) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Override specified, skipping validation of build %u",
                        build);
    } else {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Validating build %u with server", build);
        if (!_valid_build(serial, build, url.c_str())) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No valid build %u", build);
            return 0;
        }
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Build %u is valid", build);
    }

    // The request runs on a worker thread; this thread keeps the spinner
    // turning until the answer is in, then joins the worker.
    buildText = std::to_string(build);
    std::string text;
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::thread worker(DownloadJob{url, done, serial, firmware, buildText, text, noCal});
    display.update_spinner(true, SPINNER_LABEL);
    while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        display.update_spinner(true, SPINNER_LABEL);
    display.update_spinner(false, SPINNER_LABEL);
    const bool downloaded = result.get();
    worker.join();
    if (!downloaded) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Download failed");

    size_t length = 0;
    std::unique_ptr<unsigned char[]> bytes(text.empty() ? nullptr : base64_decode(text.data(), text.size(), &length));
    if (!bytes) {
        // Nothing usable arrived: no file is written and nothing recorded.
        if (!text.empty()) Log::log(DEBUG_Updater, "Could not decode the BIRD file of build %u\n", build);
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    const std::string when = sNow();
    const std::string fileName = buildText + ".bird";
    const aErr written = item.WriteFile(fileName, bytes.get(), length);
    bytes.reset();
    if (written != aErrNone) {
        // The store keeps the old file, if any; recording this download would
        // point later updates at a file that is not there.
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to write file with %d", static_cast<int>(written));
        return 0;
    }
    item.settings.Add("LATEST_DOWNLOAD", fileName);
    item.settings.Add("LAST_DOWNLOAD_DATE", when);
    item.settings.Save();
    return build;
}

bool Updater::_valid_build(uint32_t serial, uint32_t build, const char* url) {
    BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, url)) return false;
    for (const auto& [key, version] : builds) {
        const auto number = sBuildNumber(key);
        if (!number) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", key.c_str());
            continue;
        }
        if (*number == build) return true;
    }
    return false;
}

BuildList Updater::Get_BuildList(uint32_t serial) {
    const std::string url = serverUrl.empty() ? UPDATE_SERVER_HTTP_URL : serverUrl;
    BuildList builds;
    if (!UpdateServerRequest::ping(url.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", url.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, url.c_str()))
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X", serial);
    return builds;
}

std::string Updater::Get_JWT(uint32_t serial) {
    const std::string url = serverUrl.empty() ? UPDATE_SERVER_HTTP_URL : serverUrl;
    std::string token;
    if (!UpdateServerRequest::ping(url.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", url.c_str());
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, url.c_str()))
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve jwt for %08X", serial);
    return token;
}
