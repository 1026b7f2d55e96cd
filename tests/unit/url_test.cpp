#include <gtest/gtest.h>

#include "net/url.h"

namespace {

// "host port path", or "refused" when refused with the outputs untouched.
std::wstring Parsed(const std::string& url) {
    std::wstring host = L"-", path = L"-";
    int port = -1;
    if (ParseHttpsUrl(url, host, port, path)) return host + L' ' + std::to_wstring(port) + L' ' + path;
    return host == L"-" && port == -1 && path == L"-" ? L"refused" : L"refused, outputs changed";
}

TEST(ParseHttpsUrl, DefaultsPortAndPathAndKeepsQueryAndFragment) {
    const std::pair<std::string, std::wstring> cases[] = {{"https://h", L"h 443 /"},
                                                          {"https://h:8443/a/b?c=d#e", L"h 8443 /a/b?c=d#e"},
                                                          {"https://h//x:1", L"h 443 //x:1"},
                                                          {"https://h:08443/x", L"h 8443 /x"},
                                                          {"https://h:1/", L"h 1 /"},
                                                          {"https://h:65535/", L"h 65535 /"},
                                                          {"https://h/\xC3\xA9", L"h 443 /\xFFC3\xFFA9"}};
    for (const auto& [url, parsed] : cases) EXPECT_EQ(Parsed(url), parsed) << url;
}

TEST(ParseHttpsUrl, RefusesOtherSchemesHostsPortsAndTrailingText) {
    for (const char* url : {"https://h:0/", "https://h:65536/", "https://h:70000/x", "https://h:99999999999999999999/",
                            "HTTPS://h/", "Https://h/", "http://h/", "https://h:/x", "https://[::1]/", "https:///x",
                            "https://h:443x/", " https://h/", "https://h/a\nb"})
        EXPECT_EQ(Parsed(url), L"refused") << url;
}

TEST(ParseHttpsUrl, VeryLongUrlsDoNotExhaustTheStack) {
    EXPECT_EQ(Parsed("https://h/" + std::string(1 << 20, 'a')).size(), 7u + (1 << 20));
}

}  // namespace
