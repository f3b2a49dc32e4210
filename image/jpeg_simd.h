// Which kernels the JPEG decoder runs: the vector forms (SSE2 always on x86-64, AVX2 where the
// processor has it) or the portable ones. Both give the same bytes; the portable choice can be
// forced, process-wide, so that tests and benchmarks can compare the two on the same input.
#pragma once

namespace image::jpeg {

// True when the portable kernels are to be used: forced by ForcePortableKernels, or by the
// environment variable QUORLINA_JPEG_PORTABLE=1 read at first use. Each decode reads it once at
// its start.
bool PortableKernelsForced();
void ForcePortableKernels(bool portable);

// True when the processor runs AVX2 instructions (checked once).
bool CpuHasAvx2();

}  // namespace image::jpeg
