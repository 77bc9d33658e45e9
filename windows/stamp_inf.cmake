cmake_minimum_required(VERSION 3.25)
# Stamps DriverVer into the INF when the package is built:
#   cmake -DIN=<bridgeser.inf.in> -DOUT=<bridgeser.inf> -DVERSION=<a.b.c.d> -P stamp_inf.cmake
# The date is today's in UTC (Inf2Cat and Windows refuse a DriverVer date
# in the future), or the date of SOURCE_DATE_EPOCH when it is set, so a
# reproducible build stamps the same INF. OUT is rewritten only when its
# text changes, so what depends on it (the catalog) rebuilds only then.
if(NOT VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "DriverVer version must be four numbers: ${VERSION}")
endif()
string(TIMESTAMP BRIDGESER_DRIVER_DATE "%m/%d/%Y" UTC)
set(BRIDGESER_DRIVER_VERSION ${VERSION})
configure_file(${IN} ${OUT} @ONLY NEWLINE_STYLE CRLF)
