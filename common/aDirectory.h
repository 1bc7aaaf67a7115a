// aDirectory: directory tests, creation with parents, listing, deletion of
// trees, path building, and the working, executable and home directories.
// Used by the command line (store root), the store and the BIRD loader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"

#define aDIR_PATH_SEP "/"
constexpr char aDIR_PATH_SEP_CHAR = '/';

// Longest entry path built while listing or deleting a tree.
constexpr size_t aDIR_ENTRY_PATH_SIZE = 2048;
// Most parts aDirectory_BuildPath joins (the first one included).
constexpr int aDIR_MAX_PATH_PARTS = 10;

// One entry handed to a listing callback, valid only during the call.
struct aDirectoryListData {
    const char* fullPath;  // directory and entry name joined
    uint32_t fileSize;     // low 32 bits of the size in bytes
    int32_t isDir;         // 1 for a directory, else 0
};

// Listing callback: return true to go on, false to stop.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* ref);

bool aDirectory_Exists(const char* path);
// Creates the directory and every missing directory above it.
aErr aDirectory_Ensure(const char* path, uint16_t mode);
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);
// Removes an empty directory.
aErr aDirectory_Delete(const char* path);
// Removes the directory and everything below it.
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Joins first and the further parts (a null pointer after the last).
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

// The last place in text where pattern begins; text itself for an empty
// pattern; null when the pattern is absent or longer than the text.
const char* backwards_memcmp(const char* text, const char* pattern);
