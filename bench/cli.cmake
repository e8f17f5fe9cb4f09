# Whole-process figures of a command (wall time, CPU time, peak memory), for cli_figures.sh.
add_executable(bench_cli_run ${CMAKE_CURRENT_LIST_DIR}/CliRun.cpp)
morfw_warnings(bench_cli_run)
