# Helpers that give every module the same shape: one library per source folder,
# one unit-test and one integration-test executable per module.

function(zoranth_warnings target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    return()
  endif()
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ZORANTH_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Sanitizer flags apply to everything built in this tree, so set them globally once.
if(ZORANTH_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ZORANTH_SANITIZE STREQUAL "thread")
  # Boost.Asio's fenced blocks use atomic_thread_fence, which TSan cannot model; its
  # strands also lock, so the warning says nothing about our code.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
elseif(ZORANTH_SANITIZE)
  message(FATAL_ERROR "ZORANTH_SANITIZE must be empty, 'address' or 'thread'")
endif()

# zoranth_library(<module> [DEPS targets...] [PRIVATE_DEPS targets...])
# Builds every .c/.cpp under src/<module> into zoranth_<module>; headers are
# included as "<module>/<file>.h" through the src/ folder.
function(zoranth_library module)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/src/${module}/*.cpp ${PROJECT_SOURCE_DIR}/src/${module}/*.c)
  set(target zoranth_${module})
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
    zoranth_warnings(${target})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# zoranth_tests(<module> [DEPS targets...])
# tests/<module>/*_test.cpp  -> zoranth_<module>_tests  (CTest label "unit")
# tests/<module>/*_itest.cpp -> zoranth_<module>_itests (CTest label "integration")
# Both link tests/support (shared fixtures) and GoogleTest's main.
function(zoranth_tests module)
  cmake_parse_arguments(ARG "" "" "DEPS;LABELS" ${ARGN})
  set(dir ${PROJECT_SOURCE_DIR}/tests/${module})
  foreach(kind unit integration)
    if(kind STREQUAL "unit")
      file(GLOB sources CONFIGURE_DEPENDS ${dir}/*_test.cpp)
      set(target zoranth_${module}_tests)
    else()
      file(GLOB sources CONFIGURE_DEPENDS ${dir}/*_itest.cpp)
      set(target zoranth_${module}_itests)
    endif()
    if(NOT sources)
      continue()
    endif()
    add_executable(${target} ${sources})
    target_link_libraries(${target} PRIVATE zoranth_${module} zoranth_test_support ${ARG_DEPS}
                          GTest::gtest GTest::gmock GTest::gtest_main)
    zoranth_warnings(${target})
    gtest_discover_tests(${target}
      DISCOVERY_MODE PRE_TEST
      TEST_PREFIX "${module}.")
    # gtest_discover_tests writes a list-valued property out as separate words, so only
    # the first label would stick; the labels go on once the tests are discovered.
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
    file(WRITE ${labels_file}
      "if(${target}_TESTS)\n"
      "  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${kind};${module};${ARG_LABELS}\")\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
  endforeach()
endfunction()

# Fuzz builds instrument every library for coverage and with ASan+UBSan; only the
# fuzz targets themselves link libFuzzer's driver.
if(ZORANTH_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# zoranth_web_assets(<target>)
# Embeds every file of the guest page (web/) into <target>: a C++ source generated at
# build time, regenerated whenever a page file changes or one is added.
function(zoranth_web_assets target)
  set(web_dir ${PROJECT_SOURCE_DIR}/web)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS RELATIVE ${web_dir} ${web_dir}/*)
  list(FILTER files EXCLUDE REGEX "(^|/)\\.")
  list(TRANSFORM files PREPEND ${web_dir}/ OUTPUT_VARIABLE inputs)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/web_assets_data.cpp)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DWEB_DIR=${web_dir} -DOUTPUT=${output} "-DFILES=${files}"
            -P ${PROJECT_SOURCE_DIR}/cmake/EmbedWebAssets.cmake
    DEPENDS ${inputs} ${PROJECT_SOURCE_DIR}/cmake/EmbedWebAssets.cmake
    COMMENT "Embedding the guest page" VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()
