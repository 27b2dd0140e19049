// The page's files, built into the daemon from web/assets/ (nothing is read
// from the disk at run time, so nothing but these can be served).
#pragma once

#include <cstddef>

struct web_asset {
    const char* path;   // as requested, "/app.js"
    const char* content_type;
    const unsigned char* data;
    size_t size;
};

// Ends with an entry whose path is nullptr.
extern const web_asset web_assets[];
