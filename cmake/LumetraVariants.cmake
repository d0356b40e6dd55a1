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

# lumetra_add_kernel_library(<name> <cpu|cuda> KERNELS <file.cu>... [HOST <file.cpp>...])
# Kernel sources are compiled by nvcc for the CUDA variant; CMake fixes a source file's
# language per directory, so the CPU variant compiles a generated .cpp wrapper that
# includes each .cu file. Host sources are compiled as C++ for either variant (with its
# backend's definitions).
function(lumetra_add_kernel_library name variant)
  cmake_parse_arguments(ARG "" "" "KERNELS;HOST" ${ARGN})
  if(variant STREQUAL "cpu")
    set(sources ${ARG_HOST})
    foreach(src IN LISTS ARG_KERNELS)
      get_filename_component(abs "${src}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
      file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}" "${abs}")
      string(REGEX REPLACE "\\.cu$" ".cpp" rel "${rel}")
      set(wrapper "${PROJECT_BINARY_DIR}/cpu_variant/${rel}")
      file(CONFIGURE OUTPUT "${wrapper}" CONTENT "#include \"${abs}\"\n" @ONLY)
      list(APPEND sources "${wrapper}")
    endforeach()
    add_library(${name} STATIC ${sources})
    target_compile_options(${name} PRIVATE -Wall -Wextra)
  else()
    add_library(${name} STATIC ${ARG_KERNELS} ${ARG_HOST})
    set_target_properties(${name} PROPERTIES CUDA_SEPARABLE_COMPILATION ON CUDA_RESOLVE_DEVICE_SYMBOLS ON)
    target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:-Xcompiler=-Wall>
                                           $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra>)
  endif()
  target_link_libraries(${name} PUBLIC lumetra_device_${variant})
endfunction()
