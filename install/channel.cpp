#include "install/channel.h"

bool IsLegacyOnlyWindows(bool atLeast61, bool atLeast62) { return atLeast61 && !atLeast62; }

bool IsUsableRuntimeVersion(std::wstring_view version) {
    return !version.empty() && version != kPlaceholderRuntimeVersion;
}

Channel ChannelFor(bool webView2Registered) { return webView2Registered ? Channel::Release : Channel::Legacy; }

std::string ChannelUrl(std::string_view downloadHost, Channel channel) {
    std::string url = "https://";
    url += downloadHost;
    url += channel == Channel::Release ? kReleaseChannelPath : kLegacyChannelPath;
    return url;
}
