# Settings and helpers shared by every folder's CMakeLists.

# The 32-bit Windows build. Its tests run where 32-bit processes can (under
# qemu on this project's VMs, slowly); the token emulator is an x64 program,
# so the emulator's own tests and the tests that drive it run in the x64 and
# native builds only.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KQ_X86 TRUE)
else()
  set(KQ_X86 FALSE)
endif()

if(WIN32)
  # Plug-ins are looked up by their plain names ("KQCrypt.dll").
  set(CMAKE_SHARED_LIBRARY_PREFIX "")
  set(CMAKE_IMPORT_LIBRARY_PREFIX "")
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

  # libcrypto built by scripts/setup for this target.
  set(KQ_OPENSSL_ROOT ${CMAKE_SOURCE_DIR}/.cache/openssl-${KQ_TARGET_TRIPLE}
      CACHE PATH "libcrypto for this target")
  if(NOT EXISTS ${KQ_OPENSSL_ROOT}/lib/libcrypto.a)
    message(FATAL_ERROR "libcrypto not found in ${KQ_OPENSSL_ROOT}: run scripts/setup")
  endif()
  add_library(KQ::Crypto STATIC IMPORTED GLOBAL)
  set_target_properties(KQ::Crypto PROPERTIES
    IMPORTED_LOCATION ${KQ_OPENSSL_ROOT}/lib/libcrypto.a
    INTERFACE_INCLUDE_DIRECTORIES ${KQ_OPENSSL_ROOT}/include
    INTERFACE_LINK_LIBRARIES "ws2_32;gdi32;crypt32;user32;advapi32")
else()
  # The native build (the token emulator's card, Windows-free tests) uses the
  # system's libcrypto under the same target name.
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  add_library(KQ::Crypto INTERFACE IMPORTED GLOBAL)
  set_target_properties(KQ::Crypto PROPERTIES INTERFACE_LINK_LIBRARIES OpenSSL::Crypto)

  option(KQ_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
  if(KQ_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  endif()
endif()

# Warnings for the project's own code (not for GoogleTest).
function(kq_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(KQ_ISSUER_KEYS_HEADER)
    target_compile_definitions(${target} PRIVATE
      KQ_ISSUER_KEYS_HEADER="${KQ_ISSUER_KEYS_HEADER}")
  endif()
endfunction()

# A plug-in DLL with undecorated exports from its .def file.
function(kq_add_dll target def)
  add_library(${target} SHARED ${ARGN} ${def})
  kq_defaults(${target})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The .def names are plain; __stdcall symbols carry @N on x86 and are
    # matched to them.
    target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup)
  endif()
endfunction()

# A target that makes folder dir and copies the files of the targets named
# after it into it: a test program's or the demo's neighbours, which the
# code loads from beside the program.
function(kq_add_folder target dir)
  set(files)
  foreach(t ${ARGN})
    list(APPEND files $<TARGET_FILE:${t}>)
  endforeach()
  add_custom_target(${target}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${files} ${dir}
    DEPENDS ${ARGN})
endfunction()

# A GoogleTest program whose cases ctest lists at test time (under Wine for
# the cross-builds), run from the output folder beside the DLLs. On x86 every
# Windows process starts slowly where the 32-bit loader runs under qemu, so
# there the program is one test that runs all its cases. GUI marks a program
# that opens windows: under Wine it runs on an X server of its own
# (scripts/wine-run-gui), so ctest needs no display. LOCK names something
# all processes see (a window title found by FindWindow, say): the programs
# that name the same lock never run at the same time.
function(kq_add_test target)
  cmake_parse_arguments(ARG "GUI" "LOCK" "SOURCES;LIBS" ${ARGN})
  set(lock_property)
  if(ARG_LOCK)
    set(lock_property RESOURCE_LOCK ${ARG_LOCK})
  endif()
  add_executable(${target} ${ARG_SOURCES})
  kq_defaults(${target})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest_main GTest::gmock)
  if(ARG_GUI AND CMAKE_CROSSCOMPILING_EMULATOR)
    set_target_properties(${target} PROPERTIES
      CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run-gui)
  endif()
  if(KQ_X86)
    add_test(NAME ${target} COMMAND ${target} --gtest_brief=1
             WORKING_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
    set_tests_properties(${target} PROPERTIES TIMEOUT 1800 ${lock_property})
  else()
    gtest_discover_tests(${target}
      WORKING_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
      DISCOVERY_MODE PRE_TEST
      NO_PRETTY_VALUES
      DISCOVERY_TIMEOUT 120
      PROPERTIES TIMEOUT 120 ${lock_property})
  endif()
endfunction()
