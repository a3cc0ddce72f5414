# Stand-in NDI and OMT runtimes for tests on machines without the real ones (C, written against our
# own declarations of the interfaces in outputs/). The usable set is staged into standin-app/ beside
# a copy of the program, so that the program's own search of its application directory finds it;
# broken variants go to standin-variants/<case>/. Nothing here is installed.
set(ZELVO_STANDIN_APP ${CMAKE_BINARY_DIR}/standin-app)
set(ZELVO_STANDIN_VARIANTS ${CMAKE_BINARY_DIR}/standin-variants)
set(zelvo_standin_sources ${CMAKE_CURRENT_LIST_DIR})

#   zelvo_standin(TARGET name FILE libfoo.so.6 DIR output-dir SOURCES ... [DEFINES ...] [LINK ...])
function(zelvo_standin)
  cmake_parse_arguments(S "" "TARGET;FILE;DIR" "SOURCES;DEFINES;LINK" ${ARGN})
  string(REGEX MATCH "^lib([a-z]+)(\\.so.*)$" _ ${S_FILE})
  add_library(${S_TARGET} SHARED ${S_SOURCES})
  target_include_directories(${S_TARGET} PRIVATE ${CMAKE_SOURCE_DIR} ${zelvo_standin_sources})
  target_compile_definitions(${S_TARGET} PRIVATE ${S_DEFINES})
  target_compile_options(${S_TARGET} PRIVATE -Wall -Wextra -Werror=incompatible-pointer-types)
  target_link_libraries(${S_TARGET} PRIVATE Threads::Threads ${S_LINK})
  # No run path: like the real runtime, libomt finds its codec only when it was loaded first.
  set_target_properties(${S_TARGET} PROPERTIES
    C_VISIBILITY_PRESET hidden
    OUTPUT_NAME ${CMAKE_MATCH_1} PREFIX lib SUFFIX ${CMAKE_MATCH_2}
    LIBRARY_OUTPUT_DIRECTORY ${S_DIR}
    SKIP_BUILD_RPATH TRUE
    AUTOMOC OFF)
endfunction()

set(ndi_sources ${zelvo_standin_sources}/ndi_standin.c ${zelvo_standin_sources}/standin_queue.c)
set(omt_sources ${zelvo_standin_sources}/omt_standin.c ${zelvo_standin_sources}/standin_queue.c)
set(vmx_sources ${zelvo_standin_sources}/vmx_standin.c)

zelvo_standin(TARGET zelvo_standin_ndi FILE libndi.so.6 DIR ${ZELVO_STANDIN_APP} SOURCES ${ndi_sources})
zelvo_standin(TARGET zelvo_standin_vmx FILE libvmx.so DIR ${ZELVO_STANDIN_APP} SOURCES ${vmx_sources})
zelvo_standin(TARGET zelvo_standin_omt FILE libomt.so DIR ${ZELVO_STANDIN_APP} SOURCES ${omt_sources}
              LINK zelvo_standin_vmx)

set(v ${ZELVO_STANDIN_VARIANTS})
zelvo_standin(TARGET zelvo_standin_ndi_v5 FILE libndi.so.5 DIR ${v}/ndi-v5 SOURCES ${ndi_sources})
zelvo_standin(TARGET zelvo_standin_ndi_incomplete FILE libndi.so.6 DIR ${v}/ndi-incomplete SOURCES ${ndi_sources}
              DEFINES STANDIN_INCOMPLETE)
zelvo_standin(TARGET zelvo_standin_ndi_initfail FILE libndi.so.6 DIR ${v}/ndi-initfail SOURCES ${ndi_sources}
              DEFINES STANDIN_INIT_FAILS)
zelvo_standin(TARGET zelvo_standin_omt_incomplete FILE libomt.so DIR ${v}/omt-incomplete SOURCES ${omt_sources}
              DEFINES STANDIN_INCOMPLETE LINK zelvo_standin_vmx)
zelvo_standin(TARGET zelvo_standin_vmx_incomplete FILE libvmx.so DIR ${v}/omt-incomplete SOURCES ${vmx_sources})
zelvo_standin(TARGET zelvo_standin_omt_nocodec FILE libomt.so DIR ${v}/omt-nocodec SOURCES ${omt_sources}
              LINK zelvo_standin_vmx)
zelvo_standin(TARGET zelvo_standin_vmx_noruntime FILE libvmx.so DIR ${v}/omt-noruntime SOURCES ${vmx_sources})
unset(v)

set(zelvo_standin_libraries zelvo_standin_ndi zelvo_standin_vmx zelvo_standin_omt zelvo_standin_ndi_v5
    zelvo_standin_ndi_incomplete zelvo_standin_ndi_initfail zelvo_standin_omt_incomplete
    zelvo_standin_vmx_incomplete zelvo_standin_omt_nocodec zelvo_standin_vmx_noruntime)

# A copy of the program (a hard link where the file system allows) in the stand-in folder: the
# program reads its application directory from its own executable's real path, so a symbolic link
# would not do.
add_custom_command(OUTPUT ${ZELVO_STANDIN_APP}/ZelvoPlayout
  COMMAND ${CMAKE_COMMAND} -DSOURCE=$<TARGET_FILE:ZelvoPlayout> -DTARGET=${ZELVO_STANDIN_APP}/ZelvoPlayout
          -P ${zelvo_standin_sources}/stage-program.cmake
  DEPENDS ZelvoPlayout ${zelvo_standin_sources}/stage-program.cmake
  COMMENT "Staging the program beside the stand-in network runtimes")
add_custom_target(zelvo_standin_app ALL DEPENDS ${ZELVO_STANDIN_APP}/ZelvoPlayout ${zelvo_standin_libraries})
