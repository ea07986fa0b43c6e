// Placeholder.
#include "slicing.hpp"

namespace tarvik {
NDArrayView slice_row(const FloatArray&, std::uint64_t) { fail("not implemented"); }
NDArrayView slice_col(const FloatArray&, std::uint64_t) { fail("not implemented"); }
NDArrayView slice_range(const FloatArray&, std::uint64_t, std::uint64_t, std::uint64_t) { fail("not implemented"); }
void set_slice(FloatArray&, std::uint64_t, std::uint64_t, std::uint64_t, double) { fail("not implemented"); }
}  // namespace tarvik
