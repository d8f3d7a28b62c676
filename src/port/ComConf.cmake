# The serial default configuration: the record of the chosen port and the process-wide
# table of default configurations that the serial driver reads.
add_library(kelvo_comconf STATIC ${CMAKE_CURRENT_LIST_DIR}/ComConf.cpp)
target_link_libraries(kelvo_comconf PUBLIC kelvo_log kelvo_platform)
