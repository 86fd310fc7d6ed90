# Whether libpppp has the internet route (transport/internet/): webrtcbin
# (ICE by libnice), MQTT signalling (libmosquitto), JSON messages (json-glib),
# TLS to a TURN server (OpenSSL).
#
#   ZELT_INTERNET_ROUTE=AUTO  (default) on when its pkg-config modules are found
#   ZELT_INTERNET_ROUTE=ON    on; missing modules are a configure error
#   ZELT_INTERNET_ROUTE=OFF   the LAN route only; the modules are not looked for
#
# Sets ZELT_WITH_INTERNET_ROUTE (TRUE/FALSE) for the rest of the build and,
# when TRUE, the imported target PkgConfig::PPPP_INTERNET.

set(ZELT_INTERNET_ROUTE AUTO CACHE STRING "libpppp's internet route: AUTO (on when its packages are found), ON or OFF")
set_property(CACHE ZELT_INTERNET_ROUTE PROPERTY STRINGS AUTO ON OFF)

set(ZELT_INTERNET_ROUTE_MODULES
    gstreamer-1.0 gstreamer-webrtc-1.0 gstreamer-sdp-1.0 nice libmosquitto json-glib-1.0 openssl)

string(TOUPPER "${ZELT_INTERNET_ROUTE}" _zelt_route)
if(_zelt_route MATCHES "^(ON|YES|TRUE|Y|1)$")
  set(_zelt_route ON)
elseif(_zelt_route MATCHES "^(OFF|NO|FALSE|N|0)$")
  set(_zelt_route OFF)
elseif(NOT _zelt_route STREQUAL "AUTO")
  message(FATAL_ERROR "ZELT_INTERNET_ROUTE must be AUTO, ON or OFF, not '${ZELT_INTERNET_ROUTE}'")
endif()

set(ZELT_WITH_INTERNET_ROUTE FALSE)
if(NOT _zelt_route STREQUAL "OFF")
  find_package(PkgConfig REQUIRED)
  set(_zelt_missing "")
  foreach(module IN LISTS ZELT_INTERNET_ROUTE_MODULES)
    string(MAKE_C_IDENTIFIER "ZELT_ROUTE_${module}" _zelt_prefix)
    pkg_check_modules(${_zelt_prefix} QUIET ${module})
    if(NOT ${_zelt_prefix}_FOUND)
      list(APPEND _zelt_missing ${module})
    endif()
  endforeach()
  if(_zelt_missing)
    list(JOIN _zelt_missing ", " _zelt_missing_text)
    if(_zelt_route STREQUAL "ON")
      message(FATAL_ERROR "ZELT_INTERNET_ROUTE=ON, but these pkg-config modules of the internet route are missing: "
                          "${_zelt_missing_text}. Install them (scripts/setup does) or configure with "
                          "-DZELT_INTERNET_ROUTE=OFF for a libpppp with the LAN route only.")
    endif()
    message(STATUS "libpppp: internet route off (missing pkg-config modules: ${_zelt_missing_text})")
  else()
    pkg_check_modules(PPPP_INTERNET REQUIRED IMPORTED_TARGET GLOBAL ${ZELT_INTERNET_ROUTE_MODULES})
    set(ZELT_WITH_INTERNET_ROUTE TRUE)
    message(STATUS "libpppp: internet route on")
  endif()
else()
  message(STATUS "libpppp: internet route off (ZELT_INTERNET_ROUTE=${ZELT_INTERNET_ROUTE})")
endif()
