#include "net/url.h"

#include <regex>

#include "common/widen.h"

namespace {

constexpr int kDefaultHttpsPort = 443;
constexpr int kMaxPort = 65535;

// Digits of any length, read without overflow: leading zeros are allowed,
// anything outside 1..65535 is refused.
bool ReadPort(const std::string& digits, int& port) {
    long value = 0;
    for (char digit : digits) {
        value = value * 10 + (digit - '0');
        if (value > kMaxPort) return false;
    }
    if (value < 1) return false;
    port = static_cast<int>(value);
    return true;
}

}  // namespace

bool ParseHttpsUrl(const std::string& url, std::wstring& host, int& port, std::wstring& path) {
    static const char kPattern[] = "https://([^/:]+)(:(\\d+))?(/.*)?";
    // libstdc++'s default matcher recurses once per character and overflows
    // a thread's stack on a long redirect target; its breadth-first matcher
    // needs stack only for the pattern. The pattern has one way to match, so
    // the groups come out the same.
    const std::regex expression(kPattern, std::regex::ECMAScript | std::regex_constants::__polynomial);
    std::smatch match;
    if (!std::regex_match(url, match, expression)) return false;

    int parsedPort = kDefaultHttpsPort;
    if (match[3].matched && !ReadPort(match[3].str(), parsedPort)) return false;

    host = WidenBytes(match[1].str());
    port = parsedPort;
    path = match[4].matched ? WidenBytes(match[4].str()) : L"/";
    return true;
}
