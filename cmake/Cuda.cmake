# The GPU search with CUDA: the object library friendly_gpu from src/gpu/gpu_search.cu, and the CUDA
# runtime that the programs link (FRIENDLY_GPU_LIBRARIES). Included from the top-level
# CMakeLists.txt when FRIENDLY_CUDA is on. Architectures: CMAKE_CUDA_ARCHITECTURES, 90 (Hopper)
# unless set.

# nvcc where the toolkit installs it, when neither the cache nor CUDACXX names one.
if(NOT CMAKE_CUDA_COMPILER AND NOT DEFINED ENV{CUDACXX} AND EXISTS /usr/local/cuda/bin/nvcc)
  set(CMAKE_CUDA_COMPILER /usr/local/cuda/bin/nvcc)
endif()
if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
  set(CMAKE_CUDA_ARCHITECTURES 90)
endif()
enable_language(CUDA)
find_package(CUDAToolkit REQUIRED)
# C++20, as the rest of the project (CUDA targets follow CMAKE_CXX_STANDARD): CMake 3.25 knows
# no nvcc flag for it, though nvcc 12 and later take -std=c++20.
if(NOT DEFINED CMAKE_CUDA20_STANDARD_COMPILE_OPTION)
  set(CMAKE_CUDA20_STANDARD_COMPILE_OPTION -std=c++20)
  set(CMAKE_CUDA20_EXTENSION_COMPILE_OPTION -std=c++20)
endif()

add_library(friendly_gpu OBJECT src/gpu/gpu_search.cu)
# The kernels call the constexpr ratio helpers of ratio_phase.hpp; the headers they include hold
# OpenMP loops, which the host compiler must know. The host compiler's warnings are the project's
# but -Wpedantic, which flags the line markers of nvcc's own generated host code.
target_compile_options(friendly_gpu PRIVATE --expt-relaxed-constexpr
  -Xcompiler=-fopenmp,-Wall,-Wextra,-Wconversion,-Wsign-conversion,-Wshadow)
if(FRIENDLY_WARNINGS_AS_ERRORS)
  target_compile_options(friendly_gpu PRIVATE --Werror=all-warnings -Xcompiler=-Werror)
endif()
set(FRIENDLY_GPU_LIBRARIES CUDA::cudart_static)
