// Fuzz entry point for the URL parser: no crash, and a parsed URL re-assembles to the same parts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/Url.h"

namespace {

bool sameParts(const platform::Url& a, const platform::Url& b) {
    return a.scheme == b.scheme && a.authority == b.authority && a.userInfo == b.userInfo &&
           a.hasUserInfo == b.hasUserInfo && a.host == b.host && a.bracketed == b.bracketed &&
           a.portText == b.portText && a.port == b.port && a.path == b.path && a.query == b.query &&
           a.hasQuery == b.hasQuery && a.fragment == b.fragment && a.hasFragment == b.hasFragment;
}

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const platform::Url split = platform::splitUrl(text);
    // The splitter loses nothing: its parts give back the text exactly.
    require(split.origin() + split.target() == text);
    // What files beside the URL are appended to never reaches beyond the text.
    require(text.substr(0, platform::directoryOfUrl(text).size()) == platform::directoryOfUrl(text));

    const platform::UrlParse parse = platform::parseUrl(text);
    require(sameParts(parse.url, split));
    if (!parse.ok()) {
        return 0;
    }
    const platform::Url& url = parse.url;
    require(!url.scheme.empty() && !url.host.empty());
    require(url.portText.empty() == (url.port == 0));
    require(url.path.empty() || url.path.front() == '/');

    const platform::UrlParse again = platform::parseUrl(platform::assembleUrl(url));
    require(again.ok());
    require(sameParts(again.url, url));
    return 0;
}
