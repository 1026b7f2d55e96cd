#include "net/download_rules.h"

#include <limits>

bool IsRedirectStatus(std::uint32_t status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string StatusNotOkText(std::uint32_t status) { return kStatusNotOk + std::to_string(status); }

ResponseDecision DecideResponse(std::uint32_t status, const std::string* location, int redirectsFollowed) {
    if (IsRedirectStatus(status) && location) {
        if (redirectsFollowed + 1 < kMaxRequests) return {ResponseAction::FollowRedirect, {}};
        return {ResponseAction::Fail, kTooManyRedirects};
    }
    if (status != 200) return {ResponseAction::Fail, StatusNotOkText(status)};
    return {ResponseAction::ReadBody, {}};
}

bool ParseContentLength(std::wstring_view header, std::uint64_t& length) {
    if (header.empty()) return false;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (wchar_t unit : header) {
        if (unit < L'0' || unit > L'9') return false;
        const unsigned digit = static_cast<unsigned>(unit - L'0');
        if (value > (kMax - digit) / 10) return false;
        value = value * 10 + digit;
    }
    length = value;
    return true;
}

const char* BodyFailureText(const BodyOutcome& outcome) {
    if (outcome.readFailed) return kReadFailed;
    if (outcome.writeFailed) return kWriteFailed;
    if (outcome.lengthAnnounced && outcome.receivedLength != outcome.announcedLength) return kBodyIncomplete;
    return nullptr;
}
