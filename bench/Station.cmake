# Many simulated units at once through the runner: wall time against one unit, stage 3 to 5
# pace per unit, CPU share and memory of the sessions. Prints figures only.
if(TARGET morfw_fleet AND TARGET morfw)
  add_executable(bench_station ${CMAKE_CURRENT_LIST_DIR}/StationBench.cpp)
  target_link_libraries(bench_station PRIVATE morfw_fleet)
  add_dependencies(bench_station morfw)
  target_compile_definitions(bench_station PRIVATE MORFW_PROGRAM="$<TARGET_FILE:morfw>")
  morfw_warnings(bench_station)
  # The runner here stands in for morfw's own: linked as morfw is.
  morfw_lean_link(bench_station)
endif()
