# Included by windows/CMakeLists.txt in the cross build: usbcam.exe, which
# sends requests to the installed driver: every camera command (the live view
# in a window), raw, and batch without the emulation lines.
set(USBCAM_TOOL_DIR ${CMAKE_SOURCE_DIR}/tools/usbcam)

# CLI11 is header-only; expose just its folder, not the host's /usr/include.
find_path(USBCAM_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(USBCAM_CLI11_INCLUDE ${CMAKE_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${USBCAM_CLI11_INCLUDE})
file(CREATE_LINK ${USBCAM_CLI11_DIR}/CLI ${USBCAM_CLI11_INCLUDE}/CLI SYMBOLIC)
# fmt (header-only mode) and nlohmann-json likewise: header libraries from the
# distribution, usable by the cross compiler as they are.
find_path(USBCAM_FMT_DIR fmt/format.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(USBCAM_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(CREATE_LINK ${USBCAM_FMT_DIR}/fmt ${USBCAM_CLI11_INCLUDE}/fmt SYMBOLIC)
file(CREATE_LINK ${USBCAM_JSON_DIR}/nlohmann ${USBCAM_CLI11_INCLUDE}/nlohmann SYMBOLIC)

add_executable(usbcam_exe
  ${USBCAM_TOOL_DIR}/main.cpp
  ${USBCAM_TOOL_DIR}/command.cpp
  ${USBCAM_TOOL_DIR}/session.cpp
  ${USBCAM_TOOL_DIR}/session_win32.cpp
  ${USBCAM_TOOL_DIR}/tool_command.cpp
  ${USBCAM_TOOL_DIR}/tool_support.cpp
  ${USBCAM_TOOL_DIR}/interrupt.cpp
  ${USBCAM_TOOL_DIR}/transfer_hints.cpp
  ${USBCAM_TOOL_DIR}/bandwidth_hint.cpp
  ${USBCAM_TOOL_DIR}/stream_command.cpp
  ${USBCAM_TOOL_DIR}/device_commands.cpp
  ${USBCAM_TOOL_DIR}/load_command.cpp
  ${USBCAM_TOOL_DIR}/transfer_commands.cpp
  ${USBCAM_TOOL_DIR}/demo_command.cpp
  # The live view in a window of its own (GDI).
  ${USBCAM_TOOL_DIR}/view_window.cpp
)
set_target_properties(usbcam_exe PROPERTIES OUTPUT_NAME usbcam)
target_include_directories(usbcam_exe PRIVATE ${USBCAM_TOOL_DIR} ${USBCAM_CLI11_INCLUDE})
target_compile_options(usbcam_exe PRIVATE -Wall -Wextra)
target_compile_definitions(usbcam_exe PRIVATE FMT_HEADER_ONLY)
# One self-contained executable: no MinGW run-time DLLs to ship beside it.
target_link_options(usbcam_exe PRIVATE -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(usbcam_exe PRIVATE usbcam_client tavrinoscope_version gdi32 user32 advapi32)
tavrinoscope_version_resource(usbcam_exe "Tavrinoscope camera command-line client" usbcam.exe)
