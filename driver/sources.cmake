# Driver sources, shared by the host build (the driver inside the emulation)
# and the Windows build (the .sys image), one list per layer, lowest first
# (docs/layers.md). The platform layer (platform/) is headers only.
set(USBCAM_USB_SOURCES
  ${CMAKE_SOURCE_DIR}/usb/urb_submit.cpp
  ${CMAKE_SOURCE_DIR}/usb/port.cpp
  ${CMAKE_SOURCE_DIR}/usb/bus_speed.cpp
  ${CMAKE_SOURCE_DIR}/usb/interface_snapshot.cpp
  ${CMAKE_SOURCE_DIR}/usb/configuration.cpp
  ${CMAKE_SOURCE_DIR}/usb/interface_selection.cpp
  ${CMAKE_SOURCE_DIR}/usb/descriptors.cpp
  ${CMAKE_SOURCE_DIR}/usb/vendor_class.cpp
  ${CMAKE_SOURCE_DIR}/usb/device_memory.cpp
  ${CMAKE_SOURCE_DIR}/usb/pipes.cpp
  ${CMAKE_SOURCE_DIR}/usb/client_buffer.cpp
)
set(USBCAM_TRANSFER_SOURCES
  ${CMAKE_SOURCE_DIR}/transfer/transfer_command.cpp
  ${CMAKE_SOURCE_DIR}/transfer/triggered_transfer.cpp
  ${CMAKE_SOURCE_DIR}/transfer/segmented_transfer.cpp
  ${CMAKE_SOURCE_DIR}/transfer/byte_ring.cpp
  ${CMAKE_SOURCE_DIR}/transfer/iso_job.cpp
  ${CMAKE_SOURCE_DIR}/transfer/iso_block_read.cpp
  ${CMAKE_SOURCE_DIR}/transfer/stream.cpp
)
set(USBCAM_CONTROL_SOURCES
  ${CMAKE_SOURCE_DIR}/control/dispatch.cpp
)
set(USBCAM_LIFECYCLE_SOURCES
  ${CMAKE_SOURCE_DIR}/driver/driver_entry.cpp
  ${CMAKE_SOURCE_DIR}/driver/add_device.cpp
  ${CMAKE_SOURCE_DIR}/driver/io_gate.cpp
  ${CMAKE_SOURCE_DIR}/driver/create_close.cpp
  ${CMAKE_SOURCE_DIR}/driver/pnp.cpp
  ${CMAKE_SOURCE_DIR}/driver/power.cpp
)
# Every layer: the one image the Windows build links.
set(USBCAM_DRIVER_SOURCES ${USBCAM_LIFECYCLE_SOURCES} ${USBCAM_USB_SOURCES}
    ${USBCAM_CONTROL_SOURCES} ${USBCAM_TRANSFER_SOURCES})
