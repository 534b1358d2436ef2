// The dashboard's static files (page, script, style, chart library), turned
// into byte arrays at build time by embed_assets.cmake.
#ifndef ORV_HOST_WEB_EMBEDDED_ASSETS_H
#define ORV_HOST_WEB_EMBEDDED_ASSETS_H

#include <cstddef>
#include <string>

namespace orv::web {

struct EmbeddedAsset {
  const char* name;  // file name, e.g. "app.js"
  const char* type;  // MIME type
  const unsigned char* data;
  std::size_t size;
};

// Null when no asset has that file name.
const EmbeddedAsset* FindEmbeddedAsset(const std::string& name);

}  // namespace orv::web

#endif  // ORV_HOST_WEB_EMBEDDED_ASSETS_H
