# nlohmann/json, the header-only JSON writer of kestrupload's --report, from the build host (Debian's
# nlohmann-json3-dev). As with CLI11, a cross build must not see the host's /usr/include as a whole,
# so only the nlohmann folder is copied into the build tree.
find_path(KESTRUP_JSON_INCLUDE_DIR nlohmann/json.hpp PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(COPY ${KESTRUP_JSON_INCLUDE_DIR}/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/nlohmann_json)
add_library(kestrup_json INTERFACE)
# SYSTEM: its headers are not held to the project's warning flags.
target_include_directories(kestrup_json SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/nlohmann_json)
