// libFuzzer harness for the engine: each input is decoded into a run of operations on small arrays
// with random shapes and data, and every engine result, value or fault message, is compared with a
// slow, obvious reference written here from the operations' definitions. Inputs are also checked to
// be unchanged by every operation (and by failed in-place ones).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "base/ndarray.hpp"
#include "ops/elementwise.hpp"
#include "ops/matrix.hpp"
#include "ops/reductions.hpp"
#include "ops/selection.hpp"
#include "ops/slicing.hpp"

namespace {

using tarvik::BoolArray;
using tarvik::Buffer;
using tarvik::EngineFault;
using tarvik::FloatArray;
using tarvik::Shape;
using U64 = std::uint64_t;
using Dims = std::vector<U64>;

constexpr U64 u64_max = std::numeric_limits<U64>::max();

// The harness's own element loops stay out of the coverage feedback: traced, they would dominate
// the run time on long arrays and tell the fuzzer nothing about the engine.
#define UNTRACED __attribute__((no_sanitize("coverage")))

// ---------------------------------------------------------------------------------------------
// Reference model: plain vectors, row-major positions computed from scratch for every element.

struct Ref {
    Dims shape;
    std::vector<double> data;
};

struct RefMask {
    Dims shape;
    std::vector<std::uint8_t> data;
};

// The outcome of one operation: a fault message, an array, a float or a position.
struct Fault {
    std::string message;
};
using Outcome = std::variant<Fault, Ref, double, U64>;

std::string text(const Dims& shape) {
    std::string s = "[";
    for (std::size_t d = 0; d < shape.size(); ++d) s += (d ? ", " : "") + std::to_string(shape[d]);
    return s + "]";
}

std::string text(U64 n) { return std::to_string(n); }

// Element count with overflow detection: nullopt-like -1 flag through `overflow`.
UNTRACED U64 count_of(const Dims& shape, bool& overflow) {
    overflow = false;
    for (U64 e : shape)
        if (e == 0) return 0;
    U64 n = 1;
    for (U64 e : shape) {
        if (e != 0 && n > u64_max / e) overflow = true;
        n *= e;
    }
    return n;
}

UNTRACED U64 count_of(const Dims& shape) {
    U64 n = 1;
    for (U64 e : shape) n *= e;
    return n;
}

UNTRACED U64 position(const Dims& shape, const Dims& index) {
    U64 p = 0;
    for (std::size_t d = 0; d < shape.size(); ++d) p = p * shape[d] + index[d];
    return p;
}

// Every multi-index of `shape` in row-major order (the last index fastest), one at a time, so that a
// walk allocates one index rather than one per element.
struct IndexRange {
    Dims shape;

    struct Iterator {
        const Dims* shape;
        Dims index;
        U64 flat;

        const Dims& operator*() const { return index; }
        bool operator!=(const Iterator& other) const { return flat != other.flat; }
        UNTRACED Iterator& operator++() {
            ++flat;
            for (std::size_t d = index.size(); d-- > 0;) {
                if (++index[d] < (*shape)[d]) break;
                index[d] = 0;
            }
            return *this;
        }
    };

    Iterator begin() const { return {&shape, Dims(shape.size(), 0), 0}; }
    Iterator end() const { return {&shape, {}, count_of(shape)}; }
};

IndexRange all_indices(const Dims& shape) { return {shape}; }

UNTRACED double at(const Ref& a, const Dims& index) { return a.data[position(a.shape, index)]; }
// Element (i, j) of a 2-D array.
UNTRACED double at(const Ref& a, U64 i, U64 j) { return a.data[i * a.shape[1] + j]; }

Fault fault(std::string message) { return Fault{std::move(message)}; }

// ---------------------------------------------------------------------------------------------
// Conversions between the engine's records and the reference's.

UNTRACED FloatArray to_engine(const Ref& r) {
    return tarvik::new_array(Buffer<double>(r.data.begin(), r.data.end()), Shape(r.shape.begin(), r.shape.end()));
}

UNTRACED BoolArray to_engine(const RefMask& r) {
    return tarvik::new_array(Buffer<std::uint8_t>(r.data.begin(), r.data.end()),
                             Shape(r.shape.begin(), r.shape.end()));
}

UNTRACED Ref from_engine(const FloatArray& a) {
    // The record's own invariants are part of what is checked.
    Dims shape(a.shape.begin(), a.shape.end());
    Dims strides(a.strides.begin(), a.strides.end());
    Dims expected(shape.size());
    U64 step = 1;
    for (std::size_t d = shape.size(); d-- > 0;) {
        expected[d] = step;
        step *= shape[d];
    }
    if (strides != expected || a.offset != 0 || a.data.size() != count_of(shape)) {
        std::fprintf(stderr, "result breaks the array invariants: shape %s strides %s offset %llu length %zu\n",
                     text(shape).c_str(), text(strides).c_str(), (unsigned long long)a.offset, a.data.size());
        std::abort();
    }
    return Ref{shape, std::vector<double>(a.data.begin(), a.data.end())};
}

UNTRACED bool same_value(double x, double y) {
    // NaN payloads may differ with the order of commutative operands; signs of zero may not.
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
    return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
}

UNTRACED bool same_array(const Ref& a, const Ref& b) {
    if (a.shape != b.shape || a.data.size() != b.data.size()) return false;
    for (std::size_t i = 0; i < a.data.size(); ++i)
        if (!same_value(a.data[i], b.data[i])) return false;
    return true;
}

UNTRACED bool same(const Outcome& a, const Outcome& b) {
    if (a.index() != b.index()) return false;
    if (auto* f = std::get_if<Fault>(&a)) return f->message == std::get<Fault>(b).message;
    if (auto* r = std::get_if<Ref>(&a)) return same_array(*r, std::get<Ref>(b));
    if (auto* x = std::get_if<double>(&a)) return same_value(*x, std::get<double>(b));
    return std::get<U64>(a) == std::get<U64>(b);
}

std::string describe(const Outcome& o) {
    if (auto* f = std::get_if<Fault>(&o)) return "fault \"" + f->message + "\"";
    if (auto* r = std::get_if<Ref>(&o)) {
        std::string s = "array " + text(r->shape) + " {";
        for (std::size_t i = 0; i < r->data.size() && i < 32; ++i) {
            char number[32];
            std::snprintf(number, sizeof number, "%.17g", r->data[i]);
            s += (i ? ", " : "") + std::string(number);
        }
        return s + (r->data.size() > 32 ? ", ...}" : "}");
    }
    if (auto* x = std::get_if<double>(&o)) {
        char number[32];
        std::snprintf(number, sizeof number, "%.17g", *x);
        return std::string("float ") + number;
    }
    return "position " + std::to_string(std::get<U64>(o));
}


// The receiver of the operation being checked, written out only for a report.
const Ref* current_receiver = nullptr;

[[noreturn]] void report_mismatch(const char* op, const std::string& got, const std::string& want) {
    std::fprintf(stderr, "%s on %s:\n  engine gave %s\n  reference gives %s\n", op,
                 describe(Outcome(*current_receiver)).c_str(), got.c_str(), want.c_str());
    std::abort();
}

// Runs the engine side, turning its fault into an outcome.
template <class Call>
Outcome run_engine(Call call) {
    try {
        return call();
    } catch (const EngineFault& e) {
        return fault(e.message());
    }
}

void expect(const char* op, const Outcome& got, const Outcome& want) {
    if (!same(got, want)) report_mismatch(op, describe(got), describe(want));
}

UNTRACED void expect_unchanged(const char* op, const FloatArray& engine, const Ref& before) {
    Ref now = from_engine(engine);
    if (!same_array(now, before)) report_mismatch(op, "input changed to " + describe(now), describe(before));
}

// ---------------------------------------------------------------------------------------------
// Decoding of shapes, values and index lists.

struct Decoder {
    FuzzedDataProvider& in;

    Dims shape(int preferred_ndim = -1) {
        int ndim = (preferred_ndim >= 0 && in.ConsumeBool()) ? preferred_ndim : in.ConsumeIntegralInRange(0, 4);
        Dims s(ndim);
        for (auto& e : s) e = in.ConsumeIntegralInRange<U64>(0, 5);
        // Beside a zero extent any other extent may be huge: the array is still empty, but products
        // of extents (strides, offsets) overflow.
        if (std::count(s.begin(), s.end(), U64{0}) > 0 && in.ConsumeIntegralInRange(0, 7) == 0) {
            auto& e = s[in.ConsumeIntegralInRange<std::size_t>(0, s.size() - 1)];
            if (e != 0) e = in.ConsumeBool() ? u64_max : U64{1} << in.ConsumeIntegralInRange(20, 63);
        }
        return s;
    }

    double value() {
        static const double special[] = {0.0,
                                         -0.0,
                                         1.0,
                                         -1.0,
                                         0.5,
                                         1e16,
                                         -1e16,
                                         1e308,
                                         -1e308,
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::quiet_NaN(),
                                         std::numeric_limits<double>::denorm_min(),
                                         710.0,
                                         -745.0};
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: return special[in.ConsumeIntegralInRange<std::size_t>(0, std::size(special) - 1)];
        case 1: return in.ConsumeFloatingPoint<double>();
        default: return static_cast<double>(in.ConsumeIntegralInRange(-99, 99));
        }
    }

    Ref array(const Dims& shape) {
        Ref r{shape, std::vector<double>(count_of(shape))};
        for (auto& x : r.data) x = value();
        return r;
    }

    RefMask mask(const Dims& shape) {
        RefMask m{shape, std::vector<std::uint8_t>(count_of(shape))};
        for (auto& b : m.data) b = in.ConsumeBool();
        return m;
    }

    // Mostly the given shape, sometimes another one, to reach the mismatch faults.
    Dims shape_like(const Dims& s) { return in.ConsumeIntegralInRange(0, 7) == 0 ? shape() : s; }

    // A bound near `extent`: mostly inside, sometimes at or past it, rarely huge.
    U64 near(U64 extent) {
        switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0: return u64_max;
        case 1: return extent + in.ConsumeIntegralInRange<U64>(0, 2);
        default: return in.ConsumeIntegralInRange<U64>(0, extent == 0 ? 1 : extent - 1);
        }
    }

    Dims indices(U64 extent) {
        Dims list(in.ConsumeIntegralInRange(0, 6));
        for (auto& i : list) i = near(extent);
        return list;
    }
};

// ---------------------------------------------------------------------------------------------
// Reference operations, written from their definitions.

Outcome ref_new(const std::vector<double>& data, const Dims& shape) {
    bool overflow;
    U64 n = count_of(shape, overflow);
    if (overflow) return fault("element count of shape " + text(shape) + " overflows 64 bits");
    if (data.size() != n)
        return fault("data length " + text(data.size()) + " does not match shape " + text(shape) + " (expected " +
                     text(n) + ")");
    return Ref{shape, data};
}

Outcome ref_get(const Ref& a, const Dims& index) {
    if (index.size() != a.shape.size()) return fault("length of the given index and shape must match.");
    for (std::size_t d = 0; d < index.size(); ++d)
        if (index[d] >= a.shape[d])
            return fault("index out of bounds for dimension " + text(d) + ": index " + text(index[d]) + ", shape " +
                         text(a.shape[d]));
    return at(a, index);
}

Outcome ref_reshape(const Ref& a, const Dims& shape) {
    bool overflow;
    U64 n = count_of(shape, overflow);
    if (overflow) return fault("element count of shape " + text(shape) + " overflows 64 bits");
    if (n != a.data.size())
        return fault("data length " + text(a.data.size()) + " does not match shape " + text(shape) + " (expected " +
                     text(n) + ")");
    return Ref{shape, a.data};
}

template <class Rule>
UNTRACED Outcome ref_zip(const char* what, const Ref& a, const Ref& b, Rule rule) {
    if (a.shape != b.shape) return fault(std::string("shape mismatch for ") + what + ": " + text(a.shape) + " vs " + text(b.shape));
    Ref r{a.shape, std::vector<double>(a.data.size())};
    for (std::size_t i = 0; i < a.data.size(); ++i) r.data[i] = rule(a.data[i], b.data[i]);
    return r;
}

template <class Rule>
UNTRACED Outcome ref_map(const Ref& a, Rule rule) {
    Ref r{a.shape, std::vector<double>(a.data.size())};
    for (std::size_t i = 0; i < a.data.size(); ++i) r.data[i] = rule(a.data[i]);
    return r;
}

double ref_sum(const Ref& a) {
    double total = -0.0;
    for (double x : a.data) total = total + x;
    return total;
}

Outcome ref_argmax(const Ref& a) {
    if (a.data.empty()) return fault("argmax on empty array");
    U64 answer = 0;
    double best = a.data[0];
    for (std::size_t i = 1; i < a.data.size(); ++i)
        if (a.data[i] > best) best = a.data[i], answer = i;
    return answer;
}

Outcome ref_cumsum(const Ref& a) {
    Ref r{{a.data.size()}, {}};
    double total = 0.0;
    for (const Dims& index : all_indices(a.shape)) r.data.push_back(total = total + at(a, index));
    return r;
}

// The plain formula, unless the sum of the exponentials is 0, subnormal or infinite while the largest
// element is finite: then the largest element is subtracted from every element first.
Outcome ref_softmax(const Ref& a) {
    const auto normalised = [&](double shift) {
        std::vector<double> e;
        for (double x : a.data) e.push_back(std::exp(x - shift));
        double s = -0.0;
        for (double v : e) s = s + v;
        Ref r{a.shape, {}};
        for (double v : e) r.data.push_back(v / s);
        return std::pair{r, s};
    };
    auto [plain, s] = normalised(0.0);
    if (!(s == 0 || std::fpclassify(s) == FP_SUBNORMAL || s == std::numeric_limits<double>::infinity())) return plain;
    double top = -std::numeric_limits<double>::infinity();
    for (double x : a.data) top = x > top ? x : top;
    if (a.data.empty() || !std::isfinite(top)) return plain;
    return normalised(top).first;
}

Outcome ref_transpose(const Ref& a) {
    if (a.shape.size() != 2) return fault("transpose requires a 2D array, got " + text(a.shape.size()) + "D");
    Ref r{{a.shape[1], a.shape[0]}, {}};
    for (const Dims& index : all_indices(r.shape)) r.data.push_back(at(a, index[1], index[0]));
    return r;
}

UNTRACED Outcome ref_matmul(const Ref& a, const Ref& b) {
    if (a.shape.size() != 2 || b.shape.size() != 2)
        return fault("matmul requires 2D arrays, got " + text(a.shape.size()) + "D and " + text(b.shape.size()) + "D");
    if (a.shape[1] != b.shape[0])
        return fault("shape mismatch for matmul: self.shape[1] (" + text(a.shape[1]) + ") must equal other.shape[0] (" +
                     text(b.shape[0]) + ")");
    U64 k = a.shape[1];
    Ref r{{a.shape[0], b.shape[1]}, {}};
    for (const Dims& index : all_indices(r.shape)) {
        double acc = 0.0;
        for (U64 l = 0; l < k; ++l) {
            double product = at(a, index[0], l) * at(b, l, index[1]);
            acc = acc + product;
        }
        r.data.push_back(acc);
    }
    return r;
}

// The library's summation order is its own: faults must match exactly, values within rounding.
Outcome ref_matmul_blas(const Ref& a, const Ref& b) {
    if (a.shape.size() != 2 || b.shape.size() != 2)
        return fault("matmul_blas requires 2D arrays, got " + text(a.shape.size()) + "D and " + text(b.shape.size()) + "D");
    if (a.shape[1] != b.shape[0])
        return fault("shape mismatch for matmul_blas: self.shape[1] (" + text(a.shape[1]) +
                     ") must equal other.shape[0] (" + text(b.shape[0]) + ")");
    const U64 limit = U64{1} << 31;
    if (a.shape[0] >= limit || a.shape[1] >= limit || b.shape[1] >= limit)
        return fault("matmul_blas supports sizes below 2^31, got m = " + text(a.shape[0]) + ", k = " + text(a.shape[1]) +
                     ", n = " + text(b.shape[1]));
    return ref_matmul(a, b);
}

// Another summation order (and fused multiply-adds) moves a sum by up to a few units of rounding of
// the largest partial sum, so each element is allowed a margin of its terms' absolute sum.
UNTRACED bool close_enough(const Outcome& got, const Outcome& want, const Ref& a, const Ref& b) {
    if (std::holds_alternative<Fault>(got) || std::holds_alternative<Fault>(want)) return same(got, want);
    const Ref& g = std::get<Ref>(got);
    const Ref& w = std::get<Ref>(want);
    if (g.shape != w.shape) return false;
    std::size_t c = 0;
    for (const Dims& cell : all_indices(w.shape)) {
        double magnitude = 0.0;
        for (U64 l = 0; l < a.shape[1]; ++l) magnitude += std::abs(at(a, cell[0], l) * at(b, l, cell[1]));
        const double difference = std::abs(g.data[c] - w.data[c]);
        ++c;
        if (!std::isfinite(magnitude) || magnitude > 1e300) continue;  // the order decides overflow and NaN
        if (!(difference <= 1e-12 * magnitude + 1e-300)) return false;
    }
    return true;
}

// slice_row (axis 0) and slice_col (axis 1): the line of a 2-D array at `position` along `axis`.
Outcome ref_slice_line(const char* name, const Ref& a, U64 axis, U64 position) {
    if (a.shape.size() != 2) return fault(std::string(name) + " requires a 2D array, got " + text(a.shape.size()) + "D");
    if (position >= a.shape[axis])
        return fault("index out of bounds for dimension " + text(axis) + ": index " + text(position) + ", shape " +
                     text(a.shape[axis]));
    const U64 other = 1 - axis;
    Ref r{{a.shape[other]}, {}};
    for (U64 j = 0; j < a.shape[other]; ++j) r.data.push_back(axis == 0 ? at(a, position, j) : at(a, j, position));
    return r;
}

// The range tests shared by slice_range and set_slice; empty when they pass.
std::string range_fault(const Ref& a, U64 axis, U64 start, U64 end) {
    if (axis >= a.shape.size())
        return "axis " + text(axis) + " is out of bounds for NDArray with " + text(a.shape.size()) + " dimensions";
    if (start >= end) return "invalid range: start " + text(start) + " must be less than end " + text(end);
    if (end > a.shape[axis])
        return "range end " + text(end) + " is out of bounds for axis " + text(axis) + " with shape " + text(a.shape[axis]);
    return {};
}

Outcome ref_slice_range(const Ref& a, U64 axis, U64 start, U64 end) {
    if (auto f = range_fault(a, axis, start, end); !f.empty()) return fault(f);
    Ref r{a.shape, {}};
    r.shape[axis] = end - start;
    Dims source;
    for (const Dims& index : all_indices(r.shape)) {
        source = index;
        source[axis] += start;
        r.data.push_back(at(a, source));
    }
    return r;
}

Outcome ref_set_slice(const Ref& a, U64 axis, U64 start, U64 end, double value) {
    if (auto f = range_fault(a, axis, start, end); !f.empty()) return fault(f);
    Ref r = a;
    for (const Dims& index : all_indices(a.shape))
        if (index[axis] >= start && index[axis] < end) r.data[position(a.shape, index)] = value;
    return r;
}

Outcome ref_gather(const Ref& a, U64 axis, const Dims& indices) {
    if (axis >= a.shape.size())
        return fault("axis " + text(axis) + " is out of bounds for NDArray with " + text(a.shape.size()) + " dimensions");
    for (U64 i : indices)
        if (i >= a.shape[axis])
            return fault("index " + text(i) + " out of bounds for axis " + text(axis) + " with shape " + text(a.shape[axis]));
    Ref r{a.shape, {}};
    r.shape[axis] = indices.size();
    Dims source;
    for (const Dims& index : all_indices(r.shape)) {
        source = index;
        source[axis] = indices[index[axis]];
        r.data.push_back(at(a, source));
    }
    return r;
}

Outcome ref_fancy_index(const Ref& a, const Dims& indices) {
    if (a.shape.size() != 1) return fault("fancy_index is only valid for 1D arrays, got " + text(a.shape.size()) + "D");
    Ref r{{indices.size()}, {}};
    for (U64 i : indices) {
        if (i >= a.shape[0])
            return fault("index out of bounds for dimension 0: index " + text(i) + ", shape " + text(a.shape[0]));
        r.data.push_back(a.data[i]);
    }
    return r;
}

std::string mask_fault(const Ref& a, const RefMask& m) {
    return "mask shape " + text(m.shape) + " must equal self shape " + text(a.shape);
}

Outcome ref_boolean_mask(const Ref& a, const RefMask& m) {
    if (m.shape != a.shape) return fault(mask_fault(a, m));
    Ref r{{0}, {}};
    for (const Dims& index : all_indices(a.shape))
        if (m.data[position(m.shape, index)]) r.data.push_back(at(a, index));
    r.shape[0] = r.data.size();
    return r;
}

Outcome ref_masked_fill(const Ref& a, const RefMask& m, double value) {
    if (m.shape != a.shape) return fault(mask_fault(a, m));
    Ref r = a;
    for (const Dims& index : all_indices(a.shape))
        if (m.data[position(m.shape, index)]) r.data[position(a.shape, index)] = value;
    return r;
}

Outcome ref_where(const Ref& a, const RefMask& c, const Ref& b) {
    if (a.shape != c.shape || a.shape != b.shape)
        return fault("shape mismatch: self.shape " + text(a.shape) + ", condition.shape " + text(c.shape) +
                     ", other.shape " + text(b.shape));
    Ref r{a.shape, {}};
    for (const Dims& index : all_indices(a.shape))
        r.data.push_back(c.data[position(c.shape, index)] ? at(a, index) : at(b, index));
    return r;
}

// ---------------------------------------------------------------------------------------------
// One decoded operation: build the inputs, run engine and reference, compare.

enum class Op {
    construct, get, reshape, add, mul, scale, relu, sum, mean, argmax, cumsum, sigmoid, softmax, transpose,
    matmul, slice_row, slice_col, slice_range, set_slice, gather, fancy_index, boolean_mask, masked_fill, where,
    matmul_blas, count
};

Shape engine_shape(const Dims& d) { return Shape(d.begin(), d.end()); }

void run_one(Decoder& in) {
    const auto op = static_cast<Op>(in.in.ConsumeIntegralInRange<int>(0, static_cast<int>(Op::count) - 1));
    const bool wants_2d = op == Op::transpose || op == Op::matmul || op == Op::matmul_blas || op == Op::slice_row ||
                          op == Op::slice_col;
    const Ref a = in.array(in.shape(wants_2d ? 2 : op == Op::fancy_index ? 1 : -1));
    FloatArray ea = to_engine(a);
    current_receiver = &a;
    const auto to_ref = [](const FloatArray& r) -> Outcome { return from_engine(r); };

    switch (op) {
    case Op::construct: {
        // Data whose length may disagree with the shape, and shapes whose count overflows.
        Dims shape = in.shape();
        if (in.in.ConsumeIntegralInRange(0, 7) == 0)
            for (auto& e : shape) e = e == 0 ? 0 : U64{1} << in.in.ConsumeIntegralInRange(20, 40);
        std::vector<double> data(count_of(shape) <= 625 ? count_of(shape) : 3);
        if (in.in.ConsumeIntegralInRange(0, 3) == 0) data.resize(in.in.ConsumeIntegralInRange(0, 6));
        for (auto& x : data) x = in.value();
        expect("new", run_engine([&] { return to_ref(tarvik::new_array(Buffer<double>(data.begin(), data.end()), engine_shape(shape))); }),
               ref_new(data, shape));
        break;
    }
    case Op::get: {
        // Mostly one entry per dimension, sometimes one too many or too few.
        std::size_t length = a.shape.size();
        switch (in.in.ConsumeIntegralInRange(0, 7)) {
        case 0: ++length; break;
        case 1: length -= length > 0; break;
        }
        Dims index(length);
        for (std::size_t d = 0; d < index.size(); ++d) index[d] = in.near(d < a.shape.size() ? a.shape[d] : 3);
        expect("get", run_engine([&] { return Outcome(tarvik::get(ea, index)); }), ref_get(a, index));
        break;
    }
    case Op::reshape: {
        Dims shape = in.shape();
        if (in.in.ConsumeBool() && !a.data.empty()) {
            // A shape of the same count: the factors of the count spread over a few axes.
            shape = {a.data.size()};
            if (in.in.ConsumeBool() && a.data.size() % 2 == 0) shape = {2, a.data.size() / 2};
            if (in.in.ConsumeBool()) shape.insert(shape.begin(), 1);
        } else if (in.in.ConsumeIntegralInRange(0, 7) == 0) {
            shape = {U64{1} << 32, U64{1} << 32};
        }
        expect("reshape", run_engine([&] { return to_ref(tarvik::to_array(tarvik::reshape(ea, engine_shape(shape)))); }),
               ref_reshape(a, shape));
        break;
    }
    case Op::add:
    case Op::mul: {
        const bool self = in.in.ConsumeIntegralInRange(0, 7) == 0;
        const Ref b = self ? a : in.array(in.shape_like(a.shape));
        FloatArray eb = to_engine(b);
        const FloatArray& other = self ? ea : eb;
        if (op == Op::add)
            expect("add", run_engine([&] { return to_ref(tarvik::add(ea, other)); }),
                   ref_zip("addition", a, b, [](double x, double y) { return x + y; }));
        else
            expect("mul", run_engine([&] { return to_ref(tarvik::mul(ea, other)); }),
                   ref_zip("multiplication", a, b, [](double x, double y) { return x * y; }));
        expect_unchanged("operand", eb, b);
        break;
    }
    case Op::scale: {
        const double factor = in.value();
        expect("scale", run_engine([&] { return to_ref(tarvik::scale(ea, factor)); }),
               ref_map(a, [&](double x) { return x * factor; }));
        break;
    }
    case Op::relu:
        expect("relu", run_engine([&] { return to_ref(tarvik::relu(ea)); }),
               ref_map(a, [](double x) { return x > 0 ? x : 0.0; }));
        break;
    case Op::sum: expect("sum", run_engine([&] { return Outcome(tarvik::sum(ea)); }), ref_sum(a)); break;
    case Op::mean:
        expect("mean", run_engine([&] { return Outcome(tarvik::mean(ea)); }),
               a.data.empty() ? 0.0 : ref_sum(a) / static_cast<double>(a.data.size()));
        break;
    case Op::argmax: expect("argmax", run_engine([&] { return Outcome(tarvik::argmax(ea)); }), ref_argmax(a)); break;
    case Op::cumsum: expect("cumsum", run_engine([&] { return to_ref(tarvik::cumsum(ea)); }), ref_cumsum(a)); break;
    case Op::sigmoid:
        expect("sigmoid", run_engine([&] { return to_ref(tarvik::sigmoid(ea)); }),
               ref_map(a, [](double x) { return 1.0 / (std::exp(-x) + 1.0); }));
        break;
    case Op::softmax: expect("softmax", run_engine([&] { return to_ref(tarvik::softmax(ea)); }), ref_softmax(a)); break;
    case Op::transpose:
        expect("transpose", run_engine([&] { return to_ref(tarvik::to_array(tarvik::transpose(ea))); }), ref_transpose(a));
        break;
    case Op::matmul:
    case Op::matmul_blas: {
        Dims shape = in.shape_like(a.shape.size() == 2 ? Dims{a.shape[1], in.in.ConsumeIntegralInRange<U64>(0, 5)} : a.shape);
        // Huge extents only where no elements come of them, in the operand and in the product.
        bool overflow;
        if (count_of(shape, overflow) > 625 || overflow) shape.back() = 0;
        if (a.shape.size() == 2 && !shape.empty() && (count_of({a.shape[0], shape.back()}, overflow) > 625 || overflow))
            shape.back() = 0;
        const Ref b = in.array(shape);
        FloatArray eb = to_engine(b);
        if (op == Op::matmul) {
            expect("matmul", run_engine([&] { return to_ref(tarvik::matmul(ea, eb)); }), ref_matmul(a, b));
        } else {
            const Outcome got = run_engine([&] { return to_ref(tarvik::matmul_blas(ea, eb)); });
            const Outcome want = ref_matmul_blas(a, b);
            if (!close_enough(got, want, a, b)) report_mismatch("matmul_blas", describe(got), describe(want));
        }
        expect_unchanged("operand", eb, b);
        break;
    }
    case Op::slice_row: {
        const U64 row = in.near(a.shape.empty() ? 2 : a.shape[0]);
        expect("slice_row", run_engine([&] { return to_ref(tarvik::to_array(tarvik::slice_row(ea, row))); }),
               ref_slice_line("slice_row", a, 0, row));
        break;
    }
    case Op::slice_col: {
        const U64 col = in.near(a.shape.size() < 2 ? 2 : a.shape[1]);
        expect("slice_col", run_engine([&] { return to_ref(tarvik::to_array(tarvik::slice_col(ea, col))); }),
               ref_slice_line("slice_col", a, 1, col));
        break;
    }
    case Op::slice_range:
    case Op::set_slice: {
        const U64 axis = in.near(a.shape.size());
        const U64 extent = axis < a.shape.size() ? a.shape[axis] : 3;
        const U64 start = in.near(extent);
        const U64 end = in.in.ConsumeBool() ? start + 1 : in.near(extent + 1);
        if (op == Op::slice_range) {
            expect("slice_range",
                   run_engine([&] { return to_ref(tarvik::to_array(tarvik::slice_range(ea, axis, start, end))); }),
                   ref_slice_range(a, axis, start, end));
        } else {
            const double value = in.value();
            Outcome want = ref_set_slice(a, axis, start, end, value);
            Outcome got = run_engine([&] {
                tarvik::set_slice(ea, axis, start, end, value);
                return to_ref(ea);
            });
            expect("set_slice", got, want);
            if (std::holds_alternative<Fault>(want)) expect_unchanged("set_slice", ea, a);
            return;
        }
        break;
    }
    case Op::gather: {
        const U64 axis = in.near(a.shape.size());
        const Dims indices = in.indices(axis < a.shape.size() ? a.shape[axis] : 3);
        expect("gather", run_engine([&] { return to_ref(tarvik::gather(ea, axis, indices)); }), ref_gather(a, axis, indices));
        break;
    }
    case Op::fancy_index: {
        const Dims indices = in.indices(a.shape.size() == 1 ? a.shape[0] : 3);
        expect("fancy_index", run_engine([&] { return to_ref(tarvik::fancy_index(ea, indices)); }),
               ref_fancy_index(a, indices));
        break;
    }
    case Op::boolean_mask:
    case Op::masked_fill: {
        const RefMask m = in.mask(in.shape_like(a.shape));
        BoolArray em = to_engine(m);
        if (op == Op::boolean_mask) {
            expect("boolean_mask", run_engine([&] { return to_ref(tarvik::boolean_mask(ea, em)); }), ref_boolean_mask(a, m));
        } else {
            const double value = in.value();
            Outcome want = ref_masked_fill(a, m, value);
            expect("masked_fill", run_engine([&] {
                       tarvik::masked_fill(ea, em, value);
                       return to_ref(ea);
                   }),
                   want);
            if (std::holds_alternative<Fault>(want)) expect_unchanged("masked_fill", ea, a);
            return;
        }
        break;
    }
    case Op::where: {
        const RefMask c = in.mask(in.shape_like(a.shape));
        const bool self = in.in.ConsumeIntegralInRange(0, 7) == 0;
        const Ref b = self ? a : in.array(in.shape_like(a.shape));
        FloatArray eb = to_engine(b);
        expect("where_", run_engine([&] { return to_ref(tarvik::where_(ea, to_engine(c), self ? ea : eb)); }),
               ref_where(a, c, b));
        expect_unchanged("operand", eb, b);
        break;
    }
    case Op::count: break;
    }
    // Every operation but the two in-place ones leaves its receiver as it was.
    expect_unchanged("receiver", ea, a);
}

}  // namespace

// Huge requests are refused with a null pointer (an out-of-memory fault) instead of a report.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    Decoder in{provider};
    for (int step = 0; step < 16 && provider.remaining_bytes() > 0; ++step) run_one(in);
    return 0;
}
