#include <gtest/gtest.h>

#include "net/url.h"

namespace {

struct Parsed {
    bool ok;
    std::wstring host;
    int port;
    std::wstring path;
};

Parsed Parse(const std::string& url) {
    Parsed parsed{false, L"untouched", -1, L"untouched"};
    parsed.ok = ParseHttpsUrl(url, parsed.host, parsed.port, parsed.path);
    return parsed;
}

void ExpectParsed(const std::string& url, const std::wstring& host, int port, const std::wstring& path) {
    const Parsed parsed = Parse(url);
    ASSERT_TRUE(parsed.ok) << url;
    EXPECT_EQ(parsed.host, host) << url;
    EXPECT_EQ(parsed.port, port) << url;
    EXPECT_EQ(parsed.path, path) << url;
}

void ExpectRejected(const std::string& url) {
    const Parsed parsed = Parse(url);
    EXPECT_FALSE(parsed.ok) << url;
    EXPECT_EQ(parsed.host, L"untouched") << url;
    EXPECT_EQ(parsed.port, -1) << url;
    EXPECT_EQ(parsed.path, L"untouched") << url;
}

TEST(ParseHttpsUrl, DefaultsToPort443AndRootPath) {
    ExpectParsed("https://h", L"h", 443, L"/");
    ExpectParsed("https://download.example.com/tarvex-data/release", L"download.example.com", 443,
                 L"/tarvex-data/release");
}

TEST(ParseHttpsUrl, PathKeepsQueryAndFragment) {
    ExpectParsed("https://h:8443/a/b?c=d#e", L"h", 8443, L"/a/b?c=d#e");
    ExpectParsed("https://h/", L"h", 443, L"/");
    ExpectParsed("https://h//x:1", L"h", 443, L"//x:1");
}

TEST(ParseHttpsUrl, PortDigitsMayHaveLeadingZeros) {
    ExpectParsed("https://h:08443/x", L"h", 8443, L"/x");
    ExpectParsed("https://h:0000000000000000443", L"h", 443, L"/");
    ExpectParsed("https://h:1/", L"h", 1, L"/");
    ExpectParsed("https://h:65535/", L"h", 65535, L"/");
}

TEST(ParseHttpsUrl, PortsOutsideTheTcpRangeAreRefused) {
    ExpectRejected("https://h:70000/x");
    ExpectRejected("https://h:65536/");
    ExpectRejected("https://h:0/");
    ExpectRejected("https://h:00000/");
    ExpectRejected("https://h:2147483648/");           // beyond 32 bits signed
    ExpectRejected("https://h:99999999999999999999999/");  // beyond 64 bits
}

TEST(ParseHttpsUrl, OnlyLowerCaseHttpsWithAPlainHost) {
    ExpectRejected("HTTPS://h/");
    ExpectRejected("Https://h/");
    ExpectRejected("http://h/");
    ExpectRejected("/relative/path");
    ExpectRejected("https://h:/x");
    ExpectRejected("https://[::1]/");
    ExpectRejected("https://");
    ExpectRejected("https:///x");
    ExpectRejected("");
    ExpectRejected(" https://h/");
}

TEST(ParseHttpsUrl, TheWholeStringMustMatch) {
    ExpectRejected("https://h:443x/");
    ExpectRejected("https://h/a\nb");  // "." matches no line end
}

TEST(ParseHttpsUrl, NonAsciiBytesAreWidenedOneUnitEach) {
    const Parsed parsed = Parse("https://h/\xC3\xA9");
    ASSERT_TRUE(parsed.ok);
    ASSERT_EQ(parsed.path.size(), 3u);
    EXPECT_EQ(static_cast<unsigned>(parsed.path[1]), 0xFFC3u);
    EXPECT_EQ(static_cast<unsigned>(parsed.path[2]), 0xFFA9u);
}

TEST(ParseHttpsUrl, VeryLongUrlsParseWithoutExhaustingTheStack) {
    // A Location of 2047 UTF-16 units can be three times as long in UTF-8;
    // far longer inputs must not crash either.
    const std::string path = "/" + std::string(1 << 20, 'a');
    const Parsed parsed = Parse("https://h" + path);
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.path.size(), path.size());
    const std::string host(1 << 20, 'h');
    ExpectParsed("https://" + host + ":8443/x", std::wstring(host.begin(), host.end()), 8443, L"/x");
}

}  // namespace
