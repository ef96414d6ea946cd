# The version as code sees it ("velarin/version.h"), and the version resource of Windows programs.
set(VELARIN_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${VELARIN_GENERATED_DIR}/velarin/version.h @ONLY)
add_library(velarin_version INTERFACE)
target_include_directories(velarin_version INTERFACE ${VELARIN_GENERATED_DIR})

if(WIN32)
  enable_language(RC)
endif()

# velarin_version_resource(TARGET "what it is" FILE_NAME): a VERSIONINFO resource for a
# Windows program or module, so its Properties show what it is and which version.
function(velarin_version_resource target description file_name)
  if(NOT WIN32)
    return()
  endif()
  set(VELARIN_RC_DESCRIPTION "${description}")
  set(VELARIN_RC_FILE_NAME "${file_name}")
  if(file_name MATCHES "\\.exe$")
    set(VELARIN_RC_FILE_TYPE VFT_APP)
  else()
    set(VELARIN_RC_FILE_TYPE VFT_DLL)
  endif()
  set(rc ${VELARIN_GENERATED_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
