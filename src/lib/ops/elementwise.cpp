#include "ops/elementwise.hpp"


#include "parallel/parallel_map.hpp"

namespace tarvik {

namespace {

// Runs the pairwise rule over two arrays of one shape; `operation` names it in the mismatch fault.
template <class Rule>
FloatArray combine_elements(const FloatArray& self, const FloatArray& other, const char* operation, Rule rule) {
    if (!same_shape(self.shape, other.shape))
        fail("shape mismatch for {}: {} vs {}", {operation, Index(self.shape), Index(other.shape)});
    Buffer<double> data = parallel_zip_map(self.data, other.data, rule);
    return new_array(std::move(data), Shape(self.shape));
}

template <class Rule>
FloatArray map_elements(const FloatArray& self, Rule rule) {
    Buffer<double> data = parallel_map(self.data, rule);
    return new_array(std::move(data), Shape(self.shape));
}

}  // namespace

FloatArray add(const FloatArray& self, const FloatArray& other) {
    return combine_elements(self, other, "addition", [](double x, double y) { return x + y; });
}

FloatArray mul(const FloatArray& self, const FloatArray& other) {
    return combine_elements(self, other, "multiplication", [](double x, double y) { return x * y; });
}

FloatArray scale(const FloatArray& self, double scalar) {
    return map_elements(self, [scalar](double x) { return x * scalar; });
}

FloatArray relu(const FloatArray& self) {
    // An ordered comparison: NaN and -0.0 both give +0.0.
    return map_elements(self, [](double x) { return x > 0.0 ? x : 0.0; });
}

}  // namespace tarvik
