# Placeholder family programs, built from one source for both platforms:
# on Windows real programs, on Linux programs of the simulated machine
# (linked with the simulated machine through the installer's platform layer).
set(PACKAGE_PROGRAMS_DIR ${CMAKE_BINARY_DIR}/programs)
file(MAKE_DIRECTORY ${PACKAGE_PROGRAMS_DIR})

# What every one of them does, compiled once.
add_library(family_program_common OBJECT ${CMAKE_CURRENT_SOURCE_DIR}/programs/program_common.cpp)
target_include_directories(family_program_common PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/programs)
target_link_libraries(family_program_common PUBLIC setup_platform)
if(TARGET winsim_headers)
  target_link_libraries(family_program_common PUBLIC winsim_headers)
endif()

function(add_family_program target source output_name output_dir)
  add_executable(${target} ${CMAKE_CURRENT_SOURCE_DIR}/programs/${source})
  target_link_libraries(${target} PRIVATE family_program_common)
  # As small as the build makes them: what they do not use is left out, and
  # nothing of the debug information stays in the file.
  target_link_options(${target} PRIVATE ${WINDOWS_LINK_OPTIONS} -Wl,--gc-sections)
  if(WIN32)
    target_link_options(${target} PRIVATE -s)
  endif()
  get_filename_component(base ${output_name} NAME_WE)
  get_filename_component(suffix ${output_name} EXT)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${base} SUFFIX ${suffix}
                        RUNTIME_OUTPUT_DIRECTORY ${output_dir})
  move_debug_info(${target} --strip-all)
endfunction()

add_family_program(program_qrvmpsvc qrvmpsvc.cpp QRVMPSVC.EXE ${MEDIA_DIR}/win2000)
add_family_program(program_qrvmprem qrvmprem.cpp QRVMPREM.EXE ${MEDIA_DIR}/win2000)
add_family_program(program_rvosetup rvosetup.cpp RVOSETUP.EXE ${MEDIA_DIR}/nt)
# Earlier software: not on the media.
add_family_program(program_qrvrvosv qrvrvosv.cpp qrvrvosv.exe ${PACKAGE_PROGRAMS_DIR})
