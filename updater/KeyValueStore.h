// KeyValueStore: the settings of one store entry, held as an ordered map of
// text keys to text values with typed getters and setters, a dirty flag, and
// load and save on a text file of "key=value" lines. The store keeps one per
// device directory; the download and update flows record their results in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
public:
    static const char* const DEFAULT_FILENAME;  // ".settings"
    static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"
    // Longest line read, newline and terminator included.
    static constexpr size_t LINE_BUFFER_SIZE = 2048;

    // An empty store; with a path, loads it (creating the file when missing).
    explicit KeyValueStore(const char* path = nullptr);
    KeyValueStore(const KeyValueStore&) = default;
    KeyValueStore& operator=(const KeyValueStore&) = default;

    // The value's text, or null when the key is absent. Never inserts.
    const char* operator[](const std::string& key) const;
    // The value (also when empty), else the default ("" for null). Never inserts.
    std::string GetString(const std::string& key, const char* defaultValue = nullptr) const;
    // Typed reads: the default when the value is absent or empty. An absent
    // key is inserted with an empty value (the dirty flag is not touched).
    int GetInt(const std::string& key, int defaultValue = 0);
    uint32_t GetHex(const std::string& key, uint32_t defaultValue = 0);
    bool GetBOOL(const std::string& key, bool defaultValue = false);
    double GetDouble(const std::string& key, double defaultValue = 0.0);

    // Setters: mark the store dirty when the stored text changes.
    bool Add(const std::string& key, int value);
    bool Add(const std::string& key, double value);
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, uint32_t value);
    // Copies every entry of other (and marks the store dirty for each).
    bool Add(const KeyValueStore& other);
    bool Clear();

    void Load(const char* path);
    // Writes every entry to path (or the remembered path), replacing the file
    // atomically. A dirty store gets a fresh UPDATED_TIME first.
    void Save(const char* path = nullptr);

    // Parses one line as read from a settings file (length includes the
    // newline, if any). False for lines that carry no entry.
    static bool ParseLine(const char* line, size_t length, std::string& key, std::string& value);
    // The current local time as ctime writes it, without the newline.
    static std::string CurrentTime();

    const std::string& Path() const { return path_; }
    bool IsDirty() const { return dirty_; }
    const std::map<std::string, std::string>& Entries() const { return entries_; }

private:
    std::string path_;
    std::map<std::string, std::string> entries_;
    bool dirty_ = false;
};
