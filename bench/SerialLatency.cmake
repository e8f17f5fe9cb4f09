# Serial port latency over a pseudo-terminal pair (prints figures, never fails on time).
add_executable(bench_serial_latency ${CMAKE_CURRENT_LIST_DIR}/SerialLatency.cpp)
target_link_libraries(bench_serial_latency PRIVATE morfw_serial)
morfw_warnings(bench_serial_latency)
