# The desktop dialog: time from starting the program to the first paint of its window (target:
# under one second), and the cost of one log-pane append as the log grows. Figures only.
if(TARGET morfw_app)
  add_executable(bench_app_startup ${CMAKE_CURRENT_LIST_DIR}/AppStartup.cpp)
  target_link_libraries(bench_app_startup PRIVATE morfw_app)
  morfw_warnings(bench_app_startup)

  add_executable(bench_log_pane ${CMAKE_CURRENT_LIST_DIR}/LogPaneBench.cpp)
  target_link_libraries(bench_log_pane PRIVATE morfw_app benchmark::benchmark)
  morfw_warnings(bench_log_pane)
endif()
