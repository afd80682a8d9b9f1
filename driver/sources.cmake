# Driver sources, shared by the host build (the driver inside the emulation)
# and the Windows build (the .sys image).
set(USBCAM_DRIVER_SOURCES
  ${CMAKE_SOURCE_DIR}/driver/driver_entry.cpp
)
