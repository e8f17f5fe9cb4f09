# The station window with 32 fixtures: time to the first paint (target: under one second), the
# longest stall of the window's thread while 32 units are flashed at once (target: under 50 ms),
# and the sessions' CPU and memory. Figures only.
if(TARGET morfw_station_ui)
  add_executable(bench_station_window ${CMAKE_CURRENT_LIST_DIR}/StationWindowBench.cpp)
  target_link_libraries(bench_station_window PRIVATE morfw_station_ui)
  add_dependencies(bench_station_window morfw)
  morfw_warnings(bench_station_window)
endif()
