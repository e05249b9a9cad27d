# nlohmann-json for a cross build: the header-only library of this machine,
# by itself.  Its package would add /usr/include, and with it every Linux
# header, to the target's include path; only the nlohmann folder is copied
# into this build and offered under the package's target name.
find_path(NLOHMANN_JSON_HOST_INCLUDE_DIR nlohmann/json.hpp
          PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT NLOHMANN_JSON_HOST_INCLUDE_DIR)
  message(FATAL_ERROR "No nlohmann/json.hpp on this machine (nlohmann-json3-dev)")
endif()
set(nlohmann_json_include_dir "${CMAKE_BINARY_DIR}/nlohmann-json/include")
file(COPY "${NLOHMANN_JSON_HOST_INCLUDE_DIR}/nlohmann"
     DESTINATION "${nlohmann_json_include_dir}")
add_library(nlohmann_json_headers INTERFACE)
target_include_directories(nlohmann_json_headers SYSTEM INTERFACE
                           "${nlohmann_json_include_dir}")
add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json_headers)
