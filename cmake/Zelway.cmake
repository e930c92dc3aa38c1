# Helpers shared by the folder CMakeLists files.

# zel_add_library(NAME [DEPS...] [EXCLUDE files...]): a static library from
# every *.cpp of the calling folder except the EXCLUDE ones (names relative to
# the folder).  Headers are included as "folder/file.h" from the top.
function(zel_add_library name)
  cmake_parse_arguments(L "" "" "EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(excluded ${L_EXCLUDE})
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
  endforeach()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  if(L_UNPARSED_ARGUMENTS)
    target_link_libraries(${name} PUBLIC ${L_UNPARSED_ARGUMENTS})
  endif()
endfunction()

# zel_add_suite(NAME LIBS libs... [PEER] [LINUX_ONLY files...]
#               [LINUX_ONLY_CASES patterns...] [WINDOWS_ONLY files...]
#               [WINDOWS_LOCK name]): the calling test folder's suite, built
# from every *_test.cpp and *_fixture.cpp in it, so a new test file needs no
# CMake edit.  Other .cpp files in a test folder are helper programs.  The
# LINUX_ONLY files (tests that need fork, /proc, signals or Linux-only tools)
# are left out of the Windows build, and the cases matching LINUX_ONLY_CASES
# (GoogleTest filter patterns) are not run there; the WINDOWS_ONLY files
# (tests of what only Windows has, such as regsvr32) are left out of the
# Linux build.  PEER and WINDOWS_LOCK: see zel_add_test.
function(zel_add_suite name)
  cmake_parse_arguments(S "PEER" "WINDOWS_LOCK" "LIBS;LINUX_ONLY;LINUX_ONLY_CASES;WINDOWS_ONLY"
                        ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp
                                   ${CMAKE_CURRENT_SOURCE_DIR}/*_fixture.cpp)
  if(WIN32)
    foreach(excluded ${S_LINUX_ONLY})
      list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
    endforeach()
  else()
    foreach(excluded ${S_WINDOWS_ONLY})
      list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
    endforeach()
  endif()
  set(filter)
  if(WIN32 AND S_LINUX_ONLY_CASES)
    list(JOIN S_LINUX_ONLY_CASES ":" cases)
    set(filter FILTER "-${cases}")
  endif()
  set(flags)
  if(S_PEER)
    list(APPEND flags PEER)
  endif()
  if(S_WINDOWS_LOCK)
    list(APPEND flags WINDOWS_LOCK ${S_WINDOWS_LOCK})
  endif()
  zel_add_test(${name} SOURCES ${srcs} LIBS ${S_LIBS} ${filter} ${flags})
endfunction()

# zel_add_test(NAME SOURCES... LIBS libs... [FILTER filter] [PEER]
#              [WINDOWS_LOCK name]): one GoogleTest executable, its cases
# (those the GoogleTest filter lets through, when given) registered with
# CTest one by one.  Tests run with the build tree's tools on
# PATH-independent absolute locations passed through the environment
# (ZEL_BUILD_DIR, ZEL_SOURCE_DIR).  On Windows, PEER runs each case through
# the test peer (tests/common/test_peer.cpp), which serves its loopback
# servers from outside wine.  On Linux every case has a registry of its own
# (in its scratch system root); on Windows the registry is the wine prefix's
# one, so the cases of suites that write the same keys name one WINDOWS_LOCK
# and CTest runs them one at a time.
function(zel_add_test name)
  cmake_parse_arguments(T "PEER" "FILTER;WINDOWS_LOCK" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main
                                        Threads::Threads)
  if(WIN32)
    # The few POSIX calls the tests' own scaffolding makes, over the C
    # runtime (tests/windows/posix_shim.h).
    target_compile_options(${name} PRIVATE -include
                           ${PROJECT_SOURCE_DIR}/tests/windows/posix_shim.h)
    # The cases are listed when CTest runs (under wine), not at build time.
    set(discovery_mode PRE_TEST)
    if(T_PEER)
      set_property(TARGET ${name} PROPERTY CROSSCOMPILING_EMULATOR ${ZEL_TEST_PEER_PROGRAM}
                                                                   ${CMAKE_CROSSCOMPILING_EMULATOR})
      add_dependencies(${name} zel_test_peer)
    endif()
  else()
    set(discovery_mode POST_BUILD)
  endif()
  set(filter)
  if(T_FILTER)
    set(filter TEST_FILTER ${T_FILTER})
  endif()
  set(lock)
  if(WIN32 AND T_WINDOWS_LOCK)
    set(lock RESOURCE_LOCK ${T_WINDOWS_LOCK})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE ${discovery_mode} ${filter}
    DISCOVERY_TIMEOUT 60)
  # The cases' properties are set by a script of our own that CTest reads
  # after the discovered list (${name}_TESTS): gtest_discover_tests takes
  # PROPERTIES apart into single words, so a property holding a list (the
  # environment) would come out of step, and every setting after its first
  # word (the other variables, the timeout) would be lost.
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
  file(WRITE ${script}
    "if(DEFINED ${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT\n"
    "    \"ZEL_BUILD_DIR=${PROJECT_BINARY_DIR};ZEL_SOURCE_DIR=${PROJECT_SOURCE_DIR};"
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;"
    "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1\"\n"
    "    TIMEOUT 300 ${lock})\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

# zel_add_component(NAME SOURCES... [LIBS libs...]): a component library (an
# in-process server) loaded by activation.  It links the object-model runtime
# and exports only DllGetClassObject, DllCanUnloadNow, DllRegisterServer and
# DllUnregisterServer (declared extern "C"); everything else, including its
# copy of the support libraries, stays hidden inside it.  The registry store
# is not among that copy: it comes from libzelcom.so, shared with the client.
#
# On Windows it is an ordinary in-process server, NAME.dll: the four entry
# points are its only exports (they are declared __declspec(dllexport), see
# platform/com/export.h, which leaves the linker's automatic export of every
# symbol off), and the C++ runtime and zlib are linked into it statically
# (cmake/mingw-w64.cmake), so it loads into any client on a bare Windows.
function(zel_add_component name)
  cmake_parse_arguments(C "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${C_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE zel_com ${C_LIBS})
  if(WIN32)
    set_target_properties(${name} PROPERTIES PREFIX "")
    return()
  endif()
  set(map ${PROJECT_SOURCE_DIR}/cmake/component.map)
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${map}
    INSTALL_RPATH "$ORIGIN")
  target_link_options(${name} PRIVATE -Wl,--version-script=${map})
endfunction()

# Installed programs find the shared object-model runtime (libzelcom.so) in
# the private library directory beside their own, and component libraries find it
# beside themselves, wherever the tree is installed.
if(NOT CMAKE_INSTALL_RPATH)
  set(CMAKE_INSTALL_RPATH "$ORIGIN/../${ZEL_PRIVATE_LIBDIR}")
endif()

# zel_transport_has_engine(VAR): sets VAR to TRUE when zel_transport holds
# the HTTP client of the system it is built for (engine_curl.cpp on Linux,
# engine_wininet.cpp on Windows).  What needs it (Poll.dll, the suites that
# make requests) is made only then.
function(zel_transport_has_engine var)
  get_target_property(sources zel_transport SOURCES)
  list(FILTER sources INCLUDE REGEX "/engine_(curl|wininet)\\.cpp$")
  if(sources)
    set(${var} TRUE PARENT_SCOPE)
  else()
    set(${var} FALSE PARENT_SCOPE)
  endif()
endfunction()
