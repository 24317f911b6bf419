# The driver as the system's loader takes it: the five driver folders compiled freestanding with the
# cross compiler and linked into camdrv.sys against the import libraries of the kernel, the HAL, the
# kernel-streaming class driver and the USB driver library, and nothing else. A call to anything
# those modules do not export fails the link.

# No C++ library headers. (The compiler's intrinsics headers need its C headers, so those stay
# visible; the driver's include rules keep them out of the driver.)
set(CAM_FREESTANDING_FLAGS
  -ffreestanding -nostdinc++
  # Function-local statics need no guard calls into the C++ runtime.
  -fno-threadsafe-statics
  -fno-stack-protector)

set(CMAKE_CXX_STANDARD_LIBRARIES "")

add_executable(camdrv_image)
get_filename_component(CAM_DRIVER_BINARY_NAME ${CAM_DRIVER_BINARY} NAME_WE)
get_filename_component(CAM_DRIVER_BINARY_SUFFIX ${CAM_DRIVER_BINARY} LAST_EXT)
set_target_properties(camdrv_image PROPERTIES OUTPUT_NAME ${CAM_DRIVER_BINARY_NAME}
                      SUFFIX ${CAM_DRIVER_BINARY_SUFFIX} LINKER_LANGUAGE CXX)
target_link_options(camdrv_image PRIVATE
  -nostdlib
  -Wl,--subsystem,native
  -Wl,--entry,DriverEntry
  -Wl,--wdmdriver
  -Wl,--dynamicbase -Wl,--nxcompat
  # Nothing in a driver applies run-time pseudo relocations: data of a system module must be
  # imported explicitly, or the link fails.
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  -Wl,--no-insert-timestamp
  -Wl,--fatal-warnings)
foreach(module ntoskrnl hal ks usbd)
  find_library(CAM_IMPORT_LIBRARY_${module} ${module})
  if(NOT CAM_IMPORT_LIBRARY_${module})
    message(FATAL_ERROR "the import library lib${module}.a is missing: apt-get install "
                        "mingw-w64-x86-64-dev (scripts/check-deps kernel names everything the "
                        "kernel preset needs)")
  endif()
  target_link_libraries(camdrv_image PRIVATE ${CAM_IMPORT_LIBRARY_${module}})
endforeach()

# Each driver folder's part joins the image, so a new source file in a folder's list is linked
# without a second list here.
function(cam_driver_part name)
  add_library(${name} OBJECT ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include
                             ${CMAKE_SOURCE_DIR}/platform/include)
  target_compile_options(${name} PRIVATE ${CAM_STRICT_WARNINGS} ${CAM_KERNEL_FLAGS}
                         ${CAM_FREESTANDING_FLAGS})
  target_sources(camdrv_image PRIVATE $<TARGET_OBJECTS:${name}>)
endfunction()
