// The mark of a function that the CUDA build compiles for the host and the device alike; empty
// for every other compiler.
#pragma once

#ifdef __CUDACC__
#define FRIENDLY_HOST_DEVICE __host__ __device__
#else
#define FRIENDLY_HOST_DEVICE
#endif
