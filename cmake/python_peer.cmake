# The Python peer library (python/kinra2_peer) and its live preview, tested
# with Debian's python3 (numpy, aiohttp, a headless chromium) and, where one
# was found for the extension module, with Python 3.12 as well, which may lack
# numpy. Only the release build runs them: they drive the host as a user
# would, and the sanitizer builds test the host itself.
# Nor the arm64 build under emulation: the preview's timing checks measure
# QEMU, and the library's own behaviour does not depend on the host's
# processor.
if(NOT K2_BUILD_TESTS OR K2_ANY_SANITIZER OR WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()

# Debian's own interpreter first: a version manager's python3 on the path
# may be one without the Debian packages.
find_program(K2_PEER_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT K2_PEER_PYTHON)
  find_program(K2_PEER_PYTHON NAMES python3)
endif()

set(K2_PEER_ENV
  "PYTHONPATH=${CMAKE_SOURCE_DIR}/python:${CMAKE_BINARY_DIR}/python"
  "K2_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
  "PYTHONDONTWRITEBYTECODE=1")

set(K2_PEER_INTERPRETERS)
if(K2_PEER_PYTHON)
  list(APPEND K2_PEER_INTERPRETERS "python3=${K2_PEER_PYTHON}")
endif()
if(K2_PYTHON AND NOT K2_PYTHON STREQUAL K2_PEER_PYTHON)
  list(APPEND K2_PEER_INTERPRETERS "python312=${K2_PYTHON}")
endif()

# Every test file under tests/peer with every interpreter; a file whose cases
# all skip (a missing browser, aiohttp or numpy) exits 77 and shows as skipped.
file(GLOB K2_PEER_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/peer/test_*.py)
foreach(entry ${K2_PEER_INTERPRETERS})
  string(REPLACE "=" ";" pair "${entry}")
  list(GET pair 0 tag)
  list(GET pair 1 exe)
  foreach(t ${K2_PEER_TESTS})
    get_filename_component(stem ${t} NAME_WE)
    add_test(NAME peer.${stem}.${tag} COMMAND ${exe} ${t})
    set_tests_properties(peer.${stem}.${tag} PROPERTIES
      ENVIRONMENT "${K2_PEER_ENV}" TIMEOUT 600 SKIP_RETURN_CODE 77)
    if(stem STREQUAL "test_preview")
      # It checks timing against the audio clock; another test's load on
      # the two cores would be measured with it.
      set_tests_properties(peer.${stem}.${tag} PROPERTIES RUN_SERIAL TRUE)
    endif()
  endforeach()
endforeach()
