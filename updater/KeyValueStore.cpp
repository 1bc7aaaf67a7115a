// KeyValueStore: settings file parsing, typed access and atomic saving
// (see KeyValueStore.h).
#include "updater/KeyValueStore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/Log.h"
#include "common/aFile.h"
#include "updater/AtomicFileWrite.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

} // namespace

KeyValueStore::KeyValueStore(const char* path)
{
    if (path)
        Load(path);
}

const char* KeyValueStore::operator[](const std::string& key) const
{
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const std::string& key, const char* defaultValue) const
{
    auto it = entries_.find(key);
    if (it != entries_.end())
        return it->second;
    return defaultValue ? defaultValue : "";
}

int KeyValueStore::GetInt(const std::string& key, int defaultValue)
{
    const std::string& v = entries_[key];
    return v.empty() ? defaultValue : std::atoi(v.c_str());
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t defaultValue)
{
    const std::string& v = entries_[key];
    return v.empty() ? defaultValue : uint32_t(std::strtoull(v.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool defaultValue)
{
    const std::string& v = entries_[key];
    return v.empty() ? defaultValue : std::atoi(v.c_str()) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double defaultValue)
{
    const std::string& v = entries_[key];
    return v.empty() ? defaultValue : std::atof(v.c_str());
}

bool KeyValueStore::Add(const std::string& key, int value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const std::string& key, double value)
{
    char text[512];
    std::snprintf(text, sizeof text, "%f", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const std::string& key, const char* value)
{
    return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const std::string& key, const std::string& value)
{
    std::string& slot = entries_[key];
    if (slot != value)
        dirty_ = true;
    slot = value;
    return true;
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other)
{
    for (const auto& [key, value] : other.entries_) {
        entries_[key] = value;
        dirty_ = true;
    }
    return true;
}

bool KeyValueStore::Clear()
{
    entries_.clear();
    dirty_ = true;
    return true;
}

std::string KeyValueStore::CurrentTime()
{
    time_t now = std::time(nullptr);
    char text[64];
    if (!ctime_r(&now, text))
        return "";
    std::string s(text);
    while (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

bool KeyValueStore::ParseLine(const char* line, size_t length, std::string& key, std::string& value)
{
    if (!line || length < 3 || line[0] == '#')
        return false;
    const char* end = line + length;
    const char* at = line;
    while (at < end && isBlank(*at))
        ++at;
    const char* eq = static_cast<const char*>(std::memchr(at, '=', size_t(end - at)));
    // A line without "=" carries no value, and one without a key names
    // nothing: both are passed over.
    if (!eq)
        return false;
    const char* keyEnd = eq;
    while (keyEnd > at && isBlank(keyEnd[-1]))
        --keyEnd;
    if (keyEnd == at)
        return false;
    const char* valueStart = eq + 1;
    while (valueStart < end && isBlank(*valueStart))
        ++valueStart;
    const char* valueEnd = end;
    while (valueEnd > valueStart && isBlank(valueEnd[-1]))
        --valueEnd;
    key.assign(at, size_t(keyEnd - at));
    value.assign(valueStart, size_t(valueEnd - valueStart));
    return true;
}

void KeyValueStore::Load(const char* path)
{
    if (!path)
        return;
    aFile* file = aFile_Open(path, aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 path, errno);
        Add(KEY_CREATED_TIME, CurrentTime());
        Save(path);
        return;
    }
    path_ = path;
    dirty_ = false;
    char line[LINE_BUFFER_SIZE];
    size_t length = 0;
    std::string key, value;
    while (aFile_ReadLine(file, line, sizeof line, &length) == aErrNone) {
        if (ParseLine(line, length, key, value))
            entries_[key] = value;
    }
    aFile_Close(&file);
}

void KeyValueStore::Save(const char* path)
{
    if (path) {
        path_ = path;
    } else if (path_.empty()) {
        path_ = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 path_.c_str());
    }
    if (dirty_)
        Add(KEY_UPDATED_TIME, CurrentTime());

    std::string text;
    for (const auto& [key, value] : entries_) {
        text += key;
        text += '=';
        text += value;
        text += '\n';
    }
    int error = 0;
    if (AtomicFileWrite(path_, text.data(), text.size(), &error) != aErrNone) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path_.c_str(), error);
        return;
    }
    dirty_ = false;
}
