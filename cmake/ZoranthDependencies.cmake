# Every system library the project uses, found once and offered as imported targets.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)
# Boost.Asio and Boost.Beast, header-only: the guest page's HTTP and WebSocket entry
# (built by the fuzz targets too).
find_package(Boost 1.81 REQUIRED CONFIG COMPONENTS headers)

if(NOT ZORANTH_FUZZ)
  pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
  pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
  pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
  pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
  pkg_check_modules(NLGENL REQUIRED IMPORTED_TARGET libnl-genl-3.0)
  pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
  find_package(ZLIB REQUIRED)
  # Boost.Asio (and Beast beside it) are header-only; nothing of Boost is linked.
  add_library(zoranth_boost_asio INTERFACE)
  target_link_libraries(zoranth_boost_asio INTERFACE Boost::headers Threads::Threads)
  target_compile_definitions(zoranth_boost_asio INTERFACE BOOST_ASIO_NO_DEPRECATED)
endif()

if(ZORANTH_TESTS AND NOT ZORANTH_FUZZ)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(ZORANTH_BENCH AND NOT ZORANTH_FUZZ AND NOT ZORANTH_SANITIZE)
  find_package(benchmark REQUIRED)
endif()
if(ZORANTH_GUI AND NOT ZORANTH_FUZZ)
  find_package(Qt6 6.4 COMPONENTS Core Gui Quick Qml QuickTest Test Widgets)
  if(NOT Qt6_FOUND)
    message(WARNING "Qt 6 not found: the window is not built")
    set(ZORANTH_GUI OFF PARENT_SCOPE)
    set(ZORANTH_GUI OFF)
  endif()
endif()
