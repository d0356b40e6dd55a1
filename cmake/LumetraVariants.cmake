# Helpers for building one source tree as a CPU and a CUDA variant.

# The CUDA architectures users get by default: 75, 80, 86 and 90 as machine code plus PTX
# for 90 (so newer GPUs run it too), limited to what the installed nvcc can target.
# CMAKE_CUDA_ARCHITECTURES or the CUDAARCHS environment variable override it.
function(lumetra_default_cuda_architectures)
  if(DEFINED CMAKE_CUDA_ARCHITECTURES OR DEFINED ENV{CUDAARCHS})
    return()
  endif()
  set(wanted 60 70 75 80 86 90)
  execute_process(COMMAND ${CMAKE_CUDA_COMPILER} --list-gpu-code
                  OUTPUT_VARIABLE codes RESULT_VARIABLE rc ERROR_QUIET)
  set(archs "")
  foreach(arch IN LISTS wanted)
    if(rc EQUAL 0 AND NOT codes MATCHES "sm_${arch}")
      continue()
    endif()
    if(arch EQUAL 90)
      list(APPEND archs 90)           # machine code and PTX
    else()
      list(APPEND archs ${arch}-real)
    endif()
  endforeach()
  set(CMAKE_CUDA_ARCHITECTURES "${archs}" CACHE STRING "CUDA architectures" FORCE)
endfunction()

# lumetra_add_kernel_library(<name> <cpu|cuda> [KERNELS <file.cu>...] [HOST <file.cpp>...]
#                            [DEPENDS <library>...])
# Kernel sources are compiled by nvcc for the CUDA variant; CMake fixes a source file's
# language per directory, so the CPU variant compiles a generated .cpp wrapper that
# includes each .cu file. Host sources are compiled as C++ for either variant (with its
# backend's definitions). DEPENDS names the layers below, linked publicly; without it the
# library links the device layer of its variant.
function(lumetra_add_kernel_library name variant)
  cmake_parse_arguments(ARG "" "" "KERNELS;HOST;DEPENDS" ${ARGN})
  if(variant STREQUAL "cpu")
    set(sources ${ARG_HOST})
    foreach(src IN LISTS ARG_KERNELS)
      get_filename_component(abs "${src}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}" "${abs}")
      string(REGEX REPLACE "\\.cu$" ".cpp" rel "${rel}")
      set(wrapper "${PROJECT_BINARY_DIR}/cpu_variant/${rel}")
      file(CONFIGURE OUTPUT "${wrapper}" CONTENT "#include \"${abs}\"\n" @ONLY)
      list(APPEND sources "${wrapper}")
    endforeach()
    add_library(${name} STATIC ${sources})
  else()
    add_library(${name} STATIC ${ARG_KERNELS} ${ARG_HOST})
    # Device functions live in headers, so each unit is compiled whole: no device link.
    set_target_properties(${name} PROPERTIES CUDA_SEPARABLE_COMPILATION OFF)
  endif()
  target_link_libraries(${name} PRIVATE lumetra_warnings)
  if(ARG_DEPENDS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  else()
    target_link_libraries(${name} PUBLIC lumetra_device_${variant})
  endif()
endfunction()
