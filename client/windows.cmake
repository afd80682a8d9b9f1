# Included by windows/CMakeLists.txt in the cross build: the client library
# with its Win32 back end (CreateFileW and the native device-control call) and
# PNG through the Windows Imaging Component.
set(USBCAM_CLIENT_DIR ${CMAKE_SOURCE_DIR}/client)
add_library(usbcam_client STATIC
  ${USBCAM_CLIENT_DIR}/text.cpp
  ${USBCAM_CLIENT_DIR}/status_names.cpp
  ${USBCAM_CLIENT_DIR}/control_codes.cpp
  ${USBCAM_CLIENT_DIR}/connection.cpp
  ${USBCAM_CLIENT_DIR}/camera.cpp
  ${USBCAM_CLIENT_DIR}/connection_win32.cpp
  ${USBCAM_CLIENT_DIR}/intel_hex.cpp
  ${USBCAM_CLIENT_DIR}/descriptors.cpp
  ${USBCAM_CLIENT_DIR}/images.cpp
  ${USBCAM_CLIENT_DIR}/iso_packets.cpp
  # PNG through the platform's imaging component.
  ${USBCAM_CLIENT_DIR}/png_wic.cpp
)
target_include_directories(usbcam_client PUBLIC ${USBCAM_CLIENT_DIR}/include ${CMAKE_SOURCE_DIR}
                           ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(usbcam_client PUBLIC UNICODE _UNICODE _WIN32_WINNT=0x0601)
target_compile_options(usbcam_client PRIVATE -Wall -Wextra)
target_link_libraries(usbcam_client PUBLIC ntdll windowscodecs ole32 uuid)
