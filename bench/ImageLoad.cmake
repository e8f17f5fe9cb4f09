# Loading and converting a 1 MiB S-record image (target: well under 50 ms).
add_executable(bench_image_load ${CMAKE_CURRENT_LIST_DIR}/ImageLoadBench.cpp)
target_link_libraries(bench_image_load PRIVATE morfw_image benchmark::benchmark
                      benchmark::benchmark_main)
morfw_warnings(bench_image_load)
