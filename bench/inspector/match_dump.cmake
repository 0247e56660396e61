# vintra-match-dump: prints the candidates of a file in the reference engine's
# --matches form. Included by tests/unit/inspector and bench/inspector, whichever
# comes first.
add_executable(vintra-match-dump ${CMAKE_CURRENT_LIST_DIR}/match_dump.cpp)
target_compile_options(vintra-match-dump PRIVATE ${VINTRA_WARNINGS})
vintra_module_closure(_match_dump_mods inspector)
foreach(m ${_match_dump_mods})
  target_link_libraries(vintra-match-dump PRIVATE vintra_${m})
endforeach()
