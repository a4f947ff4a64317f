# tesmar_nanopb_generate(TARGET PROTOS file.proto...): runs the distribution's nanopb generator on the
# .proto files at build time, into <build>/<target>_nanopb/, and compiles the generated sources into
# TARGET (their headers on its include path). Nothing generated is checked in.
find_program(TESMAR_NANOPB_GENERATOR NAMES nanopb_generator nanopb_generator.py REQUIRED)

function(tesmar_nanopb_generate target)
  cmake_parse_arguments(ARG "" "" "PROTOS" ${ARGN})
  set(out_dir ${CMAKE_BINARY_DIR}/${target}_nanopb)
  file(MAKE_DIRECTORY ${out_dir})
  set(generated "")
  foreach(proto ${ARG_PROTOS})
    get_filename_component(name ${proto} NAME_WE)
    get_filename_component(proto_dir ${proto} DIRECTORY)
    set(outputs ${out_dir}/${name}.pb.c ${out_dir}/${name}.pb.h)
    add_custom_command(
      OUTPUT ${outputs}
      COMMAND ${TESMAR_NANOPB_GENERATOR} -q -I ${proto_dir} -D ${out_dir} ${proto}
      DEPENDS ${proto}
      COMMENT "nanopb: ${name}.proto"
      VERBATIM)
    list(APPEND generated ${outputs})
  endforeach()
  target_sources(${target} PRIVATE ${generated})
  target_include_directories(${target} PUBLIC ${out_dir})
endfunction()
