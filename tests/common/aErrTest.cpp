// Error code names and descriptions, including codes beyond the table.
#include "common/aErr.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct ErrRow {
    uint32_t code;
    const char* name;
    const char* text;
};

TEST(aErrTest, NamesAndTextsByCode)
{
    const ErrRow rows[] = {
        {0, "aErrNone", "Success, no error"},
        {2, "aErrParam", "Invalid parameter"},
        {15, "aErrOverrun", "Buffer/queue overrun"},
        {18, "aErrTimeout", "Timeout occurred"},
        {27, "aErrShortCommand", "Corvantis command to short"},
        {33, "aErrStreamStale", "Stream value is stale"},
        {34, "aErrUnknown", "Unknown error"},
        // Anything past the table reads as the last row.
        {35, "aErrUnknown", "Unknown error"},
        {1000, "aErrUnknown", "Unknown error"},
        {0xFFFFFFFF, "aErrUnknown", "Unknown error"},
    };
    for (const ErrRow& row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(row.code)), row.name);
        EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(row.code)), row.text);
    }
}

TEST(aErrTest, EveryNamedCodeHasItsOwnName)
{
    // Each enumerator's name text is the enumerator's own spelling, so a row
    // shifted in the table shows up here.
    const std::pair<aErr, const char*> named[] = {
        {aErrMemory, "aErrMemory"}, {aErrNotReady, "aErrNotReady"}, {aErrPacket, "aErrPacket"},
        {aErrConnection, "aErrConnection"}, {aErrResource, "aErrResource"},
        {aErrAsyncReturn, "aErrAsyncReturn"},
    };
    for (const auto& [code, name] : named)
        EXPECT_STREQ(aError_GetErrorText(code), name);
    for (uint32_t i = 0; i < aErrTableSize; ++i) {
        const std::string text = aError_GetErrorText(static_cast<aErr>(i));
        for (uint32_t j = i + 1; j < aErrTableSize; ++j)
            EXPECT_NE(text, aError_GetErrorText(static_cast<aErr>(j))) << i << " and " << j;
    }
}

} // namespace
