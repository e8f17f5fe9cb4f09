# A whole upload of the sample set to the simulated unit: record transfer of stages 3 to 5 against
# the line floor (efficiency, host overhead per record, CPU share). Prints figures only.
if(TARGET morfw_sim AND TARGET morfw_upload)
  add_executable(bench_sim_upload ${CMAKE_CURRENT_LIST_DIR}/SimUploadBench.cpp)
  target_link_libraries(bench_sim_upload PRIVATE morfw_sim morfw_upload morfw_serial morfw_image)
  add_dependencies(bench_sim_upload morfw_sample_image_set)
  morfw_warnings(bench_sim_upload)
endif()
