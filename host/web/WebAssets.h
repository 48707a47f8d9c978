// The live view's page: its files, built into the program from host/web/page/ (see
// EmbedAssets.cmake), so that nothing is fetched from anywhere else.
#pragma once

#include <string_view>

namespace host::web {

struct WebAsset {
    std::string_view path;  ///< "/", "/app.js", ...
    std::string_view contentType;
    std::string_view body;
};

/// The file served at `path`; null when there is none.
const WebAsset* FindWebAsset(std::string_view path);

}  // namespace host::web
