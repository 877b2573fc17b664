# Debian's OCCT: plain library names. The exported CMake targets of OCCT pull in
# libtbb.so, which Debian does not install alongside it.
set(VESK_OCCT_INCLUDE_DIR /usr/include/opencascade)
if(NOT EXISTS ${VESK_OCCT_INCLUDE_DIR}/Standard.hxx)
  message(FATAL_ERROR "OCCT headers not found in ${VESK_OCCT_INCLUDE_DIR}; run scripts/setup.sh")
endif()
add_library(vesk_occt INTERFACE)
target_include_directories(vesk_occt SYSTEM INTERFACE ${VESK_OCCT_INCLUDE_DIR})
target_link_libraries(vesk_occt INTERFACE
  TKSTEP TKSTEPAttr TKSTEP209 TKSTEPBase TKXSBase
  TKHLR TKBool TKBO TKFillet TKOffset TKPrim TKShHealing TKTopAlgo TKGeomAlgo
  TKBRep TKGeomBase TKG3d TKG2d TKService TKMath TKernel)
