# ondavix_arm_image(NAME LINKER_SCRIPT source...): links the firmware objects with a board's
# sources into NAME.elf, with NAME.map beside it and NAME.bin / NAME.hex made from it, all in
# the top of the build tree.
function(ondavix_arm_image name script)
  add_executable(${name} ${ARGN} $<TARGET_OBJECTS:ondavix_fw_arm>)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/platform)
  get_filename_component(_dir ${script} DIRECTORY)
  target_link_options(${name} PRIVATE -T${script} -L${_dir} -L${CMAKE_SOURCE_DIR}/board/saml21
    -Wl,-Map=${CMAKE_BINARY_DIR}/${name}.map -Wl,--cref)
  set_target_properties(${name} PROPERTIES SUFFIX ".elf" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    LINK_DEPENDS "${script};${CMAKE_SOURCE_DIR}/board/saml21/cortex-m0.ld")
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} -O binary $<TARGET_FILE:${name}> ${CMAKE_BINARY_DIR}/${name}.bin
    COMMAND ${CMAKE_OBJCOPY} -O ihex $<TARGET_FILE:${name}> ${CMAKE_BINARY_DIR}/${name}.hex
    VERBATIM)
endfunction()
