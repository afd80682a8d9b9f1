# Included by windows/CMakeLists.txt in the cross build: tavrinoscope.dll with
# its import library (lib/libtavrinoscope.dll.a), from the same sources as
# libtavrinoscope.so, over the client library's Win32 back end; and the C
# example linked against it, as a user would build it.
add_library(tavrinoscope_dll SHARED
  ${CMAKE_SOURCE_DIR}/sdk/tavrinoscope.cpp
  ${CMAKE_SOURCE_DIR}/sdk/backend_win32.cpp
  ${CMAKE_SOURCE_DIR}/sdk/camera_list.cpp
)
set_target_properties(tavrinoscope_dll PROPERTIES OUTPUT_NAME tavrinoscope PREFIX "")
target_include_directories(tavrinoscope_dll PUBLIC ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(tavrinoscope_dll PRIVATE TAVRINOSCOPE_BUILDING)
target_compile_options(tavrinoscope_dll PRIVATE -Wall -Wextra)
# One self-contained DLL: no MinGW run-time DLLs to ship beside it. Only the
# functions the header marks for export leave it.
target_link_options(tavrinoscope_dll PRIVATE -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(tavrinoscope_dll PRIVATE usbcam_client tavrinoscope_version)
tavrinoscope_version_resource(tavrinoscope_dll "Tavrinoscope camera SDK" tavrinoscope.dll)

add_executable(capture_example ${CMAKE_SOURCE_DIR}/examples/c/capture.c)
set_target_properties(capture_example PROPERTIES OUTPUT_NAME capture C_STANDARD 99 C_STANDARD_REQUIRED ON)
target_compile_options(capture_example PRIVATE -Wall -Wextra -pedantic)
target_link_options(capture_example PRIVATE -static -static-libgcc -s)
target_link_libraries(capture_example PRIVATE tavrinoscope_dll)
