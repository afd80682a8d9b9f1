# Included by windows/CMakeLists.txt in the cross build: usbcam.exe, which
# sends requests to the installed driver (raw, and batch without the
# emulation commands).
set(USBCAM_TOOL_DIR ${CMAKE_SOURCE_DIR}/tools/usbcam)

# CLI11 is header-only; expose just its folder, not the host's /usr/include.
find_path(USBCAM_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(USBCAM_CLI11_INCLUDE ${CMAKE_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${USBCAM_CLI11_INCLUDE})
file(CREATE_LINK ${USBCAM_CLI11_DIR}/CLI ${USBCAM_CLI11_INCLUDE}/CLI SYMBOLIC)

add_executable(usbcam_exe
  ${USBCAM_TOOL_DIR}/main.cpp
  ${USBCAM_TOOL_DIR}/command.cpp
  ${USBCAM_TOOL_DIR}/session.cpp
  ${USBCAM_TOOL_DIR}/session_win32.cpp
)
set_target_properties(usbcam_exe PROPERTIES OUTPUT_NAME usbcam)
target_include_directories(usbcam_exe PRIVATE ${USBCAM_TOOL_DIR} ${USBCAM_CLI11_INCLUDE})
target_compile_options(usbcam_exe PRIVATE -Wall -Wextra)
# One self-contained executable: no MinGW run-time DLLs to ship beside it.
target_link_options(usbcam_exe PRIVATE -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(usbcam_exe PRIVATE usbcam_client)
