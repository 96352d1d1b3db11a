# Finds libshaderc and its glslang / SPIRV-Tools dependencies as static archives and offers them as
# the target Shaderc::Static. The shared libshaderc of the distribution is underlinked, so the
# archives are linked as one rescanned group instead.
set(_shaderc_archives shaderc_combined glslang MachineIndependent OSDependent GenericCodeGen OGLCompiler
    SPIRV SPIRV-Tools-opt SPIRV-Tools)
set(_shaderc_paths)
foreach(name ${_shaderc_archives})
  find_library(SHADERC_STATIC_${name} NAMES lib${name}.a)
  if(NOT SHADERC_STATIC_${name})
    message(FATAL_ERROR "Static library lib${name}.a not found (packages libshaderc-dev, glslang-dev, spirv-tools)")
  endif()
  list(APPEND _shaderc_paths ${SHADERC_STATIC_${name}})
endforeach()
find_path(SHADERC_INCLUDE_DIR shaderc/shaderc.h REQUIRED)
list(JOIN _shaderc_paths "," _shaderc_group)
if(NOT TARGET Shaderc::Static)
  add_library(Shaderc::Static INTERFACE IMPORTED)
  target_include_directories(Shaderc::Static INTERFACE ${SHADERC_INCLUDE_DIR})
  target_link_libraries(Shaderc::Static INTERFACE "$<LINK_GROUP:RESCAN,${_shaderc_group}>" Threads::Threads)
endif()
set(ShadercStatic_FOUND TRUE)
