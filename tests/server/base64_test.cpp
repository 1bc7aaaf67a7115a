// base64: decoding lengths, padding, empty input and invalid characters, and
// the encoder checked against the decoder over every remainder of length.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "updater/base64.h"

namespace {

struct Decoded {
    bool ok;
    std::string bytes;
    bool terminated;  // a NUL byte follows the output
};

Decoded decode(const std::string& text) {
    size_t length = 12345;
    std::unique_ptr<unsigned char[]> out(base64_decode(text.data(), text.size(), &length));
    if (!out) return {false, {}, false};
    return {true, std::string(reinterpret_cast<char*>(out.get()), length), out[length] == 0};
}

}  // namespace

TEST(Base64Decode, TableOfTexts) {
    struct Case {
        const char* text;
        bool ok;
        std::string bytes;
    } cases[] = {
        {"", true, ""},
        {"YQ==", true, "a"},
        {"YWI=", true, "ab"},
        {"YWJj", true, "abc"},
        {"YmlyZAEB", true, std::string("bird\x01\x01", 6)},
        {"AAAA", true, std::string(3, '\0')},
        {"//+/", true, "\xff\xff\xbf"},
        {"A===", true, std::string(1, '\0')},  // both last characters padding: one byte
        {"YQ=A", true, std::string("a\0", 2)}, // padding inside counts as zero bits
        {"YQ", false, ""},                     // length not a multiple of 4
        {"YWJjZ", false, ""},
        {"YWJ", false, ""},
        {"YW J", false, ""},                   // characters outside the alphabet
        {"YWJ\n", false, ""},
        {"YW-_", false, ""},                   // URL-safe alphabet is not accepted
        {"YWJ\x80", false, ""},
    };
    for (const auto& c : cases) {
        const Decoded d = decode(c.text);
        EXPECT_EQ(d.ok, c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(d.bytes, c.bytes) << c.text;
        EXPECT_TRUE(d.terminated) << c.text;
    }
    // An embedded NUL (the table above cannot hold one in a C text).
    EXPECT_FALSE(decode(std::string("YW\0j", 4)).ok);
}

TEST(Base64Encode, RoundTripsEveryLengthRemainderAndAllByteValues) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    for (size_t length : {0, 1, 2, 3, 4, 5, 255, 256}) {
        const std::string in = bytes.substr(0, length);
        size_t textLength = 0;
        std::unique_ptr<char[]> text(
            base64_encode(reinterpret_cast<const unsigned char*>(in.data()), in.size(), &textLength));
        ASSERT_TRUE(text);
        EXPECT_EQ(textLength, (length + 2) / 3 * 4);
        EXPECT_EQ(text[textLength], '\0');
        const std::string encoded(text.get(), textLength);
        const size_t padding = length % 3 == 0 ? 0 : 3 - length % 3;
        EXPECT_EQ(encoded.find('='), padding ? textLength - padding : std::string::npos) << length;
        const Decoded d = decode(encoded);
        ASSERT_TRUE(d.ok) << length;
        EXPECT_EQ(d.bytes, in) << length;
    }
}

TEST(Base64Encode, KnownTexts) {
    const std::pair<std::string, std::string> cases[] = {{"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"},
                                                         {"\xff\xfe", "//4="}};
    for (const auto& [in, expected] : cases) {
        size_t n = 0;
        std::unique_ptr<char[]> text(base64_encode(reinterpret_cast<const unsigned char*>(in.data()), in.size(), &n));
        EXPECT_EQ(std::string(text.get(), n), expected);
    }
}
