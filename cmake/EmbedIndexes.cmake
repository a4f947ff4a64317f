# cmake -DOUTPUT=file.cpp -DINPUTS="a.txt;b.txt" -P EmbedIndexes.cmake: the encodings' index tables
# (lines "pointer<TAB>0xCODE", from scripts/generate-encoding-indexes) as one C++ source of arrays, so
# the tables stay data in the repository and cost no parsing at run time.
set(body "")
set(list "")
foreach(input ${INPUTS})
  get_filename_component(name ${input} NAME_WE)
  string(REGEX REPLACE "^index-" "" name ${name})
  string(MAKE_C_IDENTIFIER ${name} id)
  file(READ ${input} text)
  string(REGEX REPLACE "([0-9]+)\t(0x[0-9A-F]+)\n" "\\1,\\2," text "${text}")
  if(NOT text MATCHES "^[0-9x,A-F]*$")
    message(FATAL_ERROR "${input}: not lines of \"pointer<TAB>0xCODE\"")
  endif()
  string(APPEND body "const uint32_t k_${id}[] = {${text}};\n")
  string(APPEND list "    {\"${name}\", k_${id}, sizeof k_${id} / sizeof k_${id}[0] / 2},\n")
endforeach()
file(WRITE ${OUTPUT}.new "// Generated from platform/webkit/forms/indexes/ by cmake/EmbedIndexes.cmake.\n"
     "#include \"platform/webkit/forms/internal/EncodingIndexes.h\"\n\n"
     "namespace platform::webkit::forms {\nnamespace {\n${body}}  // namespace\n\n"
     "const EncodingIndex kEncodingIndexes[] = {\n${list}};\n"
     "const size_t kEncodingIndexCount = sizeof kEncodingIndexes / sizeof kEncodingIndexes[0];\n\n"
     "}  // namespace platform::webkit::forms\n")
file(RENAME ${OUTPUT}.new ${OUTPUT})
