#include <gtest/gtest.h>

#include "net/download_rules.h"

namespace {

// "follow", "read" or "fail: " and the error text.
std::string Decision(std::uint32_t status, bool hasLocation, int redirectsFollowed) {
    const std::string location = "https://h/next";
    const ResponseDecision d = DecideResponse(status, hasLocation ? &location : nullptr, redirectsFollowed);
    const char* const kActions[] = {"follow", "read", "fail: "};  // in ResponseAction's order
    return kActions[static_cast<int>(d.action)] + d.error;
}

TEST(ResponseDecision, FollowsRedirectsForAtMostThreeRequestsAndReadsOnly200) {
    for (std::uint32_t status : {301u, 302u, 303u, 307u, 308u}) {
        EXPECT_EQ(Decision(status, true, 1), "follow") << status;
        EXPECT_EQ(Decision(status, true, 2), "fail: Too many redirects") << status;
        // Without a Location there is nothing to follow, however many came before.
        EXPECT_EQ(Decision(status, false, 2), "fail: HTTP status not OK: " + std::to_string(status));
    }
    for (std::uint32_t status : {0u, 204u, 206u, 300u, 304u, 404u})
        EXPECT_EQ(Decision(status, true, 0), "fail: HTTP status not OK: " + std::to_string(status));
    EXPECT_EQ(Decision(200, true, 2), "read");
    EXPECT_EQ(Decision(4294967295u, false, 0), "fail: HTTP status not OK: 4294967295");
}

TEST(ContentLength, OnlyDecimalDigitsUpTo64Bits) {
    const std::pair<const wchar_t*, std::string> kCases[] = {
#define CONTENT_LENGTH(text, length) {text, length},
#include "tests/unit/content_length_cases.inc"
#undef CONTENT_LENGTH
    };
    for (const auto& [text, expected] : kCases) {
        std::uint64_t length = 7;  // and so it stays where no length is taken
        EXPECT_EQ(ParseContentLength(text, length) ? std::to_string(length) : length == 7 ? "" : "changed", expected);
    }
}

}  // namespace
