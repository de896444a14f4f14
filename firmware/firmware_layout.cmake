# The layout every embedded firmware image shares: 32768 bytes of camera
# firmware, then a 4-byte tag (0x00 0x10, then a 16-byte USB string descriptor
# header: length 0x10, type 0x03 STRING) and the manufacturer's name "Quorvel"
# as seven UTF-16LE characters. Total 32786 bytes.
#
# Included by firmware/CMakeLists.txt at configure time and by
# generate_firmware_images.cmake at build time.

set(QVFLASH_IMAGE_CODE_SIZE 32768)
set(QVFLASH_IMAGE_SIZE 32786)
# 00 10 10 03, then "Quorvel" in UTF-16LE.
set(QVFLASH_IMAGE_TRAILER_HEX "00101003510075006f007200760065006c00")

# Checks that `path` holds a complete image: exactly QVFLASH_IMAGE_SIZE bytes
# ending in the shared trailer. Sets `out_error` to a message, or to "" when
# the file is good.
function(qvflash_check_firmware_file path out_error)
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    set(${out_error} "the file \"${path}\" does not exist" PARENT_SCOPE)
    return()
  endif()
  file(SIZE "${path}" size)
  if(NOT size EQUAL QVFLASH_IMAGE_SIZE)
    set(${out_error}
        "\"${path}\" is ${size} bytes long; a firmware image is exactly ${QVFLASH_IMAGE_SIZE} bytes"
        PARENT_SCOPE)
    return()
  endif()
  file(READ "${path}" trailer OFFSET ${QVFLASH_IMAGE_CODE_SIZE} HEX)
  string(TOLOWER "${trailer}" trailer)
  if(NOT trailer STREQUAL QVFLASH_IMAGE_TRAILER_HEX)
    set(${out_error}
        "\"${path}\" does not end in the image trailer: bytes ${QVFLASH_IMAGE_CODE_SIZE} to ${QVFLASH_IMAGE_SIZE} must be 00 10 10 03 followed by \"Quorvel\" in UTF-16LE (found ${trailer})"
        PARENT_SCOPE)
    return()
  endif()
  set(${out_error} "" PARENT_SCOPE)
endfunction()
