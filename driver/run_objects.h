#pragma once

namespace kadrix {

// Which kernels compute the statistics. Both give the same bytes: the
// straightforward ones (a 100-frame stack of samples, every window summed
// pixel by pixel) are kept as the reference the fast ones are held to.
enum class Kernels { fast, straightforward };

// The whole run: checks the arguments, reads the list and drives every
// object through the stages. Returns the process exit status: 0 for every
// orderly end, 1 when a result could not be written or an object ran out
// of memory.
int run_objects(int argc, const char* const* argv, Kernels kernels = Kernels::fast);

}  // namespace kadrix
