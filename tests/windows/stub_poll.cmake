# TEMPORARY TEST SCAFFOLD (drop with stub_internet_access.cpp once the
# WinInet engine builds): with -DZEL_WINDOWS_STUB_TRANSPORT=ON a Windows
# build whose transport has no request engine yet links Poll.dll, and the
# suites that need the engine, with a stub engine that fails every request,
# so that registration, activation and the IPoll plumbing can be tested
# under wine.  Off by default; ignored once the transport has its engine.
option(ZEL_WINDOWS_STUB_TRANSPORT
       "TESTING ONLY: link Poll.dll with a stub engine that fails every request" OFF)
zel_transport_has_engine(zel_engine)
if(ZEL_WINDOWS_STUB_TRANSPORT AND NOT zel_engine AND NOT TARGET Poll)
  message(WARNING "Poll.dll is linked with a STUB transport engine that fails every request "
                  "(ZEL_WINDOWS_STUB_TRANSPORT): for testing the object-model plumbing only, "
                  "never for use")
  set(stub ${CMAKE_CURRENT_LIST_DIR}/stub_internet_access.cpp)
  zel_add_component(Poll SOURCES ${PROJECT_SOURCE_DIR}/poll/component/poll_object.cpp ${stub}
                    LIBS zel_poll_core)
  set(ZEL_TRANSPORT_STUB_SOURCE ${stub})
endif()
