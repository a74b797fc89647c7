# libFuzzer targets of the XML document class, one per character build,
# built with the host's clang (libFuzzer is clang's) beside the native build
# and run by ctest for a bounded time over the seed corpus in
# tests/corpus/. New inputs go to a corpus folder in the build tree. Skipped
# when no clang with libFuzzer is found.
find_program(KQ_CLANGXX NAMES clang++ clang++-14)
set(KQ_FUZZ_FLAGS -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined
    -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(KQ_FUZZ_CHECK ${CMAKE_BINARY_DIR}/fuzzcheck)
if(KQ_CLANGXX AND NOT DEFINED KQ_CLANG_HAS_LIBFUZZER)
  file(MAKE_DIRECTORY ${KQ_FUZZ_CHECK})
  file(WRITE ${KQ_FUZZ_CHECK}/check.cpp
    "#include <cstddef>\n#include <cstdint>\n"
    "extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n")
  execute_process(
    COMMAND ${KQ_CLANGXX} ${KQ_FUZZ_FLAGS} ${KQ_FUZZ_CHECK}/check.cpp -o ${KQ_FUZZ_CHECK}/check
    RESULT_VARIABLE KQ_FUZZ_CHECK_RESULT OUTPUT_QUIET ERROR_QUIET)
  if(KQ_FUZZ_CHECK_RESULT EQUAL 0)
    set(KQ_CLANG_HAS_LIBFUZZER TRUE CACHE INTERNAL "")
  else()
    # Not cached: checked again at the next configure (clang's runtime may
    # have been installed since).
    set(KQ_CLANG_HAS_LIBFUZZER FALSE)
  endif()
endif()

if(KQ_CLANGXX AND KQ_CLANG_HAS_LIBFUZZER)
  set(KQ_XML_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  set(KQ_FUZZ_SOURCES ${KQ_XML_DIR}/fuzz/XmlFuzz.cpp ${KQ_XML_DIR}/tests/XmlTreeCheck.cpp)
  foreach(src ${KQ_XML_SOURCES})
    list(APPEND KQ_FUZZ_SOURCES ${KQ_XML_DIR}/${src})
  endforeach()
  file(GLOB KQ_FUZZ_HEADERS ${KQ_XML_DIR}/*.h ${KQ_XML_DIR}/tests/XmlTreeCheck.h)
  foreach(build 16 8)
    set(fuzzer ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/xml_fuzz${build})
    set(defs "")
    if(build EQUAL 8)
      set(defs -DKQ_XML_CHAR8)
    endif()
    add_custom_command(
      OUTPUT ${fuzzer}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
      COMMAND ${KQ_CLANGXX} ${KQ_FUZZ_FLAGS} ${defs} -I${KQ_XML_DIR} -I${KQ_XML_DIR}/tests
              ${KQ_FUZZ_SOURCES} -o ${fuzzer}
      DEPENDS ${KQ_FUZZ_SOURCES} ${KQ_FUZZ_HEADERS}
      COMMENT "Building the XML fuzzer (${build}-bit characters) with clang")
    add_custom_target(xml_fuzz${build} ALL DEPENDS ${fuzzer})
    set(work ${CMAKE_BINARY_DIR}/xml_fuzz${build}_corpus)
    file(MAKE_DIRECTORY ${work})
    add_test(NAME xml_fuzz${build}
             COMMAND ${fuzzer} -max_total_time=30 -max_len=8192 -timeout=20
                     -rss_limit_mb=2560 -print_final_stats=1
                     ${work} ${KQ_XML_DIR}/tests/corpus)
    set_tests_properties(xml_fuzz${build} PROPERTIES TIMEOUT 180)
  endforeach()
else()
  message(STATUS "XML fuzzers not built: no clang++ with libFuzzer")
endif()
