cmake_minimum_required(VERSION 3.25)
# Checks a kernel image with objdump -p: native subsystem, and imports only
# from ntoskrnl.exe, HAL.dll and USBD.SYS (no C or C++ runtime).
# Usage: cmake -DOBJDUMP=<objdump> -DIMAGE=<bridgeser.sys> -P check_image.cmake
if(NOT EXISTS "${IMAGE}")
  message(FATAL_ERROR "image not found: ${IMAGE}")
endif()
execute_process(COMMAND ${OBJDUMP} -p ${IMAGE}
  OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${IMAGE}")
endif()

if(NOT dump MATCHES "Subsystem[ \t]+00000001")
  message(FATAL_ERROR "${IMAGE} is not a native-subsystem image")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${dump}")
if(NOT dlls)
  message(FATAL_ERROR "${IMAGE} imports nothing; expected the kernel")
endif()
set(allowed ntoskrnl.exe hal.dll usbd.sys)
set(found_kernel FALSE)
foreach(line IN LISTS dlls)
  string(REGEX REPLACE "DLL Name: *" "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST allowed)
    message(FATAL_ERROR "${IMAGE} imports from ${dll}, which a kernel image must not")
  endif()
  if(lower STREQUAL "ntoskrnl.exe")
    set(found_kernel TRUE)
  endif()
endforeach()
if(NOT found_kernel)
  message(FATAL_ERROR "${IMAGE} does not import from ntoskrnl.exe")
endif()

# memcpy and memset, when the compiler emits them, must come from the kernel:
# the image's only imports are checked above, so any such name is resolved
# there. Report which runtime helpers the image takes from ntoskrnl.
foreach(helper memcpy memset memmove)
  if(dump MATCHES "[ \t]${helper}\n")
    message(STATUS "${helper} resolved from the kernel")
  endif()
endforeach()
message(STATUS "${IMAGE}: native subsystem; imports: ${dlls}")
