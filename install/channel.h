// Which download channel suits the machine, and where it is.
#pragma once

#include <string>
#include <string_view>

enum class Channel { Legacy, Release };

inline constexpr char kLegacyChannelPath[] = "/tarvex-data/win7";
inline constexpr char kReleaseChannelPath[] = "/tarvex-data/release";

// A "pv" of exactly this says the runtime is not really installed.
inline constexpr wchar_t kPlaceholderRuntimeVersion[] = L"0.0.0.0";

// Windows 6.1 (Windows 7, Server 2008 R2) always gets the legacy channel,
// without asking the registry.
bool IsLegacyOnlyWindows(bool atLeast61, bool atLeast62);

// A WebView2 "pv" value that counts as an installed runtime: not empty and
// not exactly the placeholder (one that merely starts with it counts).
bool IsUsableRuntimeVersion(std::wstring_view version);

Channel ChannelFor(bool webView2Registered);

// "https://" + host + the channel's path.
std::string ChannelUrl(std::string_view downloadHost, Channel channel);
