// The page's files, compiled into the binary from web/static/ by the build (embed_assets.cmake):
// a request's path is looked up in this fixed table and never used as a file path.
#pragma once

#include <cstddef>
#include <string_view>

namespace web {

struct Asset {
    const char* path;  // "/index.html", "/quorlina.js", "/static/app.css", ...
    const char* type;  // Content-Type
    const unsigned char* data;
    std::size_t size;
};

// The asset served at path, or null.
const Asset* FindAsset(std::string_view path);

}  // namespace web
