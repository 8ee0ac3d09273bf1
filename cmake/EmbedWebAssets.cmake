# Turns every file of the guest page (web/) into one C++ source holding the bytes,
# the content type and an entity tag of each, so the host serves the page from its
# own binary and never from the file system. Run at build time:
#   cmake -DWEB_DIR=<web/> -DOUTPUT=<file.cpp> -DFILES=<a;b;...> -P EmbedWebAssets.cmake
# FILES are paths relative to WEB_DIR; each is served as "/" + that path.

function(content_type_for path out)
  string(TOLOWER "${path}" lower)
  if(lower MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(lower MATCHES "\\.(js|mjs)$")
    set(type "text/javascript; charset=utf-8")
  elseif(lower MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(lower MATCHES "\\.svg$")
    set(type "image/svg+xml")
  elseif(lower MATCHES "\\.png$")
    set(type "image/png")
  elseif(lower MATCHES "\\.wasm$")
    set(type "application/wasm")
  elseif(lower MATCHES "\\.json$")
    set(type "application/json")
  elseif(lower MATCHES "\\.webmanifest$")
    set(type "application/manifest+json")
  else()
    set(type "text/plain; charset=utf-8")
  endif()
  set(${out} "${type}" PARENT_SCOPE)
endfunction()

set(arrays "")
set(table "")
set(index 0)
list(SORT FILES)
foreach(relative IN LISTS FILES)
  file(READ "${WEB_DIR}/${relative}" hex HEX)
  file(SHA256 "${WEB_DIR}/${relative}" digest)
  string(SUBSTRING "${digest}" 0 16 tag)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  # 0x.. per byte, a line break every 32 bytes keeps the source readable to tools.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n" bytes "${bytes}")
  content_type_for("${relative}" type)
  string(APPEND arrays "alignas(8) const unsigned char asset${index}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"/${relative}\", \"${type}\", \"\\\"${tag}\\\"\",\n"
                      "     {reinterpret_cast<const char*>(asset${index}), ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()

set(source "// Generated from web/ by cmake/EmbedWebAssets.cmake at build time; do not edit.
#include \"host/web/web_assets.h\"

namespace zoranth {
namespace {

${arrays}
const WebAsset assets[] = {
${table}};

}  // namespace

std::span<const WebAsset> WebAssets::all() { return assets; }

}  // namespace zoranth
")

# Rewritten only when it changed, so an untouched page costs no recompilation.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
endif()
if(NOT "${previous}" STREQUAL "${source}")
  file(WRITE "${OUTPUT}" "${source}")
endif()
