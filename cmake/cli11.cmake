# CLI11, the header-only command-line parser of kestrupload, propsim and propimage, from the build
# host (Debian's libcli11-dev). A cross build searches only its toolchain's root and must not see
# the host's /usr/include as a whole, so only the CLI folder is copied into the build tree.
find_path(KESTRUP_CLI11_INCLUDE_DIR CLI/CLI.hpp PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(COPY ${KESTRUP_CLI11_INCLUDE_DIR}/CLI DESTINATION ${CMAKE_BINARY_DIR}/cli11)
add_library(kestrup_cli11 INTERFACE)
# SYSTEM: its headers are not held to the project's warning flags.
target_include_directories(kestrup_cli11 SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/cli11)
