# A program that hosts plugins exports GetAppInfo, and only that, so that the
# libraries it loads find the launcher by name. (The Windows program exports
# it through its module definition instead.)
function(orv_export_host_symbols target)
  if(NOT WIN32)
    target_link_options(${target} PRIVATE
                        "LINKER:--dynamic-list=${PROJECT_SOURCE_DIR}/cmake/host-exports.list")
  endif()
endfunction()
