# Every library here comes from Debian 12 packages; kestrel.sh installs them.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)

# libyuv-dev ships neither a pkg-config file nor a CMake package.
find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(LIBYUV_LIBRARY yuv REQUIRED)
add_library(kestrel::yuv UNKNOWN IMPORTED)
set_target_properties(kestrel::yuv PROPERTIES IMPORTED_LOCATION "${LIBYUV_LIBRARY}"
                      INTERFACE_INCLUDE_DIRECTORIES "${LIBYUV_INCLUDE_DIR}")

# Only the OpenCV modules we use are installed, without OpenCV's CMake package.
find_path(OPENCV_INCLUDE_DIR opencv2/imgproc.hpp PATH_SUFFIXES opencv4 REQUIRED)
find_library(OPENCV_CORE_LIBRARY opencv_core REQUIRED)
find_library(OPENCV_IMGPROC_LIBRARY opencv_imgproc REQUIRED)
add_library(kestrel::opencv INTERFACE IMPORTED)
set_target_properties(kestrel::opencv PROPERTIES
    INTERFACE_LINK_LIBRARIES "${OPENCV_IMGPROC_LIBRARY};${OPENCV_CORE_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${OPENCV_INCLUDE_DIR}")

# The face detector's networks: read with ONNX's protobuf classes, computed by XNNPACK.
find_package(Protobuf REQUIRED)
find_library(ONNX_PROTO_LIBRARY onnx_proto REQUIRED)
add_library(kestrel::onnx INTERFACE IMPORTED)
set_target_properties(kestrel::onnx PROPERTIES
    INTERFACE_LINK_LIBRARIES "${ONNX_PROTO_LIBRARY};protobuf::libprotobuf"
    INTERFACE_COMPILE_DEFINITIONS "ONNX_NAMESPACE=onnx;ONNX_ML=1")
find_path(XNNPACK_INCLUDE_DIR xnnpack.h REQUIRED)
find_library(XNNPACK_LIBRARY XNNPACK REQUIRED)
add_library(kestrel::xnnpack UNKNOWN IMPORTED)
set_target_properties(kestrel::xnnpack PROPERTIES IMPORTED_LOCATION "${XNNPACK_LIBRARY}"
                      INTERFACE_INCLUDE_DIRECTORIES "${XNNPACK_INCLUDE_DIR}")

# Where kestrel.sh installs the face detector's model.
set(KESTREL_MODEL_DIR "${PROJECT_SOURCE_DIR}/build/models" CACHE PATH "Face detection models")

find_package(Qt6 REQUIRED COMPONENTS Core)
set(CMAKE_AUTOMOC OFF)
# Qt's `emit`, `signals` and `slots` macros would clash with our own names.
add_compile_definitions(QT_NO_KEYWORDS)

if(KESTREL_BUILD_TESTS)
    find_package(GTest REQUIRED)
    include(GoogleTest)
endif()
if(KESTREL_BUILD_BENCH)
    find_package(benchmark QUIET)
endif()

# Loop movies: FFmpeg reads and writes them (H.264 through Debian's libavcodec with libx264).
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
