#include "matmul_kernel.hpp"

#include <algorithm>
#include <cstddef>

#include "buffer.hpp"
#include "simd.hpp"

namespace tarvik {

namespace {

// The blocking for one instruction set. A register tile of `Rows` rows by `Vectors` vectors of c
// stays in registers while l runs over `Depth` steps; `PanelRows` rows of a and `PanelCols` columns
// of b are packed at a time, so a's panel sits in the second-level cache and one b strip in the first.
template <class V, std::size_t Rows, std::size_t Vectors, std::size_t Depth, std::size_t PanelRows,
          std::size_t PanelCols>
struct Geometry {
    using Vec = V;
    static constexpr std::size_t width = sizeof(V) / sizeof(double);
    static constexpr std::size_t rows = Rows;
    static constexpr std::size_t vectors = Vectors;
    static constexpr std::size_t cols = Vectors * width;
    static constexpr std::size_t depth = Depth;
    static constexpr std::size_t panel_rows = PanelRows;
    static constexpr std::size_t panel_cols = PanelCols;
    static_assert(PanelRows % Rows == 0 && PanelCols % (Vectors * width) == 0);
};

// Sized so that accumulators, one row of b and a broadcast fit the register file of each set.
using PortableGeometry = Geometry<Vec2, 4, 2, 256, 128, 2048>;
using Avx2Geometry = Geometry<Vec4, 6, 2, 256, 120, 2048>;
using Avx512Geometry = Geometry<Vec8, 8, 3, 128, 256, 2016>;

std::size_t round_up(std::size_t value, std::size_t step) { return (value + step - 1) / step * step; }

// c (a full tile, rows `ldc` apart) += the packed strips of a and b over `depth` steps of l, in order.
template <class G>
[[gnu::always_inline]] inline void multiply_tile(std::size_t depth, const double* a, const double* b, double* c,
                                                 std::size_t ldc) {
    using V = typename G::Vec;
    V sums[G::rows][G::vectors];
    for (std::size_t r = 0; r < G::rows; ++r)
        for (std::size_t v = 0; v < G::vectors; ++v) sums[r][v] = load<V>(c + r * ldc + v * G::width);
    for (std::size_t l = 0; l < depth; ++l) {
        V row_of_b[G::vectors];
        for (std::size_t v = 0; v < G::vectors; ++v) row_of_b[v] = load<V>(b + l * G::cols + v * G::width);
        for (std::size_t r = 0; r < G::rows; ++r) {
            const V element_of_a = broadcast<V>(a[l * G::rows + r]);
            for (std::size_t v = 0; v < G::vectors; ++v) {
                // Rounded before the addition: -ffp-contract=off keeps the two from fusing.
                const V product = element_of_a * row_of_b[v];
                sums[r][v] = sums[r][v] + product;
            }
        }
    }
    for (std::size_t r = 0; r < G::rows; ++r)
        for (std::size_t v = 0; v < G::vectors; ++v) store(c + r * ldc + v * G::width, sums[r][v]);
}

// Copies `count` rows by `depth` columns of a (rows `lda` apart) into strips of G::rows rows, each
// stored column after column; rows past `count` are zero and only feed tile rows that are dropped.
template <class G>
[[gnu::always_inline]] inline void pack_a(const double* a, std::size_t lda, std::size_t count, std::size_t depth,
                                          double* packed) {
    for (std::size_t strip = 0; strip < count; strip += G::rows) {
        const std::size_t present = std::min(G::rows, count - strip);
        for (std::size_t r = 0; r < present; ++r) {
            const double* from = a + (strip + r) * lda;
            for (std::size_t l = 0; l < depth; ++l) packed[l * G::rows + r] = from[l];
        }
        for (std::size_t r = present; r < G::rows; ++r)
            for (std::size_t l = 0; l < depth; ++l) packed[l * G::rows + r] = 0.0;
        packed += G::rows * depth;
    }
}

// Copies `depth` rows by `count` columns of b (rows `ldb` apart) into strips of G::cols columns, each
// stored row after row; columns past `count` are zero and only feed tile columns that are dropped.
template <class G>
[[gnu::always_inline]] inline void pack_b(const double* b, std::size_t ldb, std::size_t depth, std::size_t count,
                                          double* packed) {
    for (std::size_t strip = 0; strip < count; strip += G::cols) {
        const std::size_t present = std::min(G::cols, count - strip);
        for (std::size_t l = 0; l < depth; ++l) {
            const double* from = b + l * ldb + strip;
            double* to = packed + l * G::cols;
            std::copy(from, from + present, to);
            std::fill(to + present, to + G::cols, 0.0);
        }
        packed += G::cols * depth;
    }
}

// c (rows `ldc` apart, `rows` × `cols` of it in use) += one tile product; a partial tile goes through
// a full-size copy so the register tile never reads or writes outside c.
template <class G>
[[gnu::always_inline]] inline void multiply_edge_tile(std::size_t depth, const double* a, const double* b,
                                                      double* c, std::size_t ldc, std::size_t rows,
                                                      std::size_t cols) {
    if (rows == G::rows && cols == G::cols) {
        multiply_tile<G>(depth, a, b, c, ldc);
        return;
    }
    double tile[G::rows * G::cols] = {};
    for (std::size_t r = 0; r < rows; ++r) std::copy(c + r * ldc, c + r * ldc + cols, tile + r * G::cols);
    multiply_tile<G>(depth, a, b, tile, G::cols);
    for (std::size_t r = 0; r < rows; ++r) std::copy(tile + r * G::cols, tile + r * G::cols + cols, c + r * ldc);
}

// Panels of b columns, then steps of l in ascending blocks, then panels of a rows: every c element
// meets its l blocks in order, and within a block its products in order.
template <class G>
[[gnu::always_inline]] inline void multiply_blocked(const double* a, const double* b, double* c, std::size_t m,
                                                    std::size_t k, std::size_t n) {
    if (m == 0 || k == 0 || n == 0) return;
    Buffer<double> packed_a = uninitialized_buffer<double>(round_up(std::min(m, G::panel_rows), G::rows) *
                                                           std::min(k, G::depth));
    Buffer<double> packed_b = uninitialized_buffer<double>(round_up(std::min(n, G::panel_cols), G::cols) *
                                                           std::min(k, G::depth));
    for (std::size_t col0 = 0; col0 < n; col0 += G::panel_cols) {
        const std::size_t panel_cols = std::min(G::panel_cols, n - col0);
        for (std::size_t l0 = 0; l0 < k; l0 += G::depth) {
            const std::size_t depth = std::min(G::depth, k - l0);
            pack_b<G>(b + l0 * n + col0, n, depth, panel_cols, packed_b.data());
            for (std::size_t row0 = 0; row0 < m; row0 += G::panel_rows) {
                const std::size_t panel_rows = std::min(G::panel_rows, m - row0);
                pack_a<G>(a + row0 * k + l0, k, panel_rows, depth, packed_a.data());
                for (std::size_t j = 0; j < panel_cols; j += G::cols) {
                    for (std::size_t i = 0; i < panel_rows; i += G::rows) {
                        multiply_edge_tile<G>(depth, packed_a.data() + i * depth, packed_b.data() + j * depth,
                                              c + (row0 + i) * n + col0 + j, n, std::min(G::rows, panel_rows - i),
                                              std::min(G::cols, panel_cols - j));
                    }
                }
            }
        }
    }
}

TARVIK_TARGET_AVX512 void multiply_avx512(const double* a, const double* b, double* c, std::size_t m,
                                                        std::size_t k, std::size_t n) {
    multiply_blocked<Avx512Geometry>(a, b, c, m, k, n);
}

TARVIK_TARGET_AVX2 void multiply_avx2(const double* a, const double* b, double* c, std::size_t m,
                                                   std::size_t k, std::size_t n) {
    multiply_blocked<Avx2Geometry>(a, b, c, m, k, n);
}

void multiply_portable(const double* a, const double* b, double* c, std::size_t m, std::size_t k, std::size_t n) {
    multiply_blocked<PortableGeometry>(a, b, c, m, k, n);
}

}  // namespace

void multiply_accumulate(Isa isa, const double* a, const double* b, double* c, std::uint64_t m,
                         std::uint64_t k, std::uint64_t n) {
    switch (isa) {
        case Isa::avx512:
            return multiply_avx512(a, b, c, m, k, n);
        case Isa::avx2:
            return multiply_avx2(a, b, c, m, k, n);
        case Isa::portable:
            return multiply_portable(a, b, c, m, k, n);
    }
}

}  // namespace tarvik
