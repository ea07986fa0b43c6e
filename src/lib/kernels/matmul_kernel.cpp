#include "kernels/matmul_kernel.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "base/buffer.hpp"
#include "base/simd.hpp"

namespace tarvik {

namespace {

// The blocking for one instruction set. A register tile of `Rows` rows by `Vectors` vectors of c
// stays in registers while l runs over `Depth` steps. One strip of a (`Rows` rows by `Depth` steps)
// is packed at a time, small enough for the first-level cache, and meets a packed block of b of
// `Depth` steps by `PanelCols` columns, which stays in the second-level cache (1 MiB a core on the
// processors the wide sets are tuned for) while every strip of a passes it.
template <class V, std::size_t Rows, std::size_t Vectors, std::size_t Depth, std::size_t PanelCols>
struct Geometry {
    using Vec = V;
    static constexpr std::size_t width = sizeof(V) / sizeof(double);
    static constexpr std::size_t rows = Rows;
    static constexpr std::size_t vectors = Vectors;
    static constexpr std::size_t cols = Vectors * width;
    static constexpr std::size_t depth = Depth;
    static constexpr std::size_t panel_cols = PanelCols;
    static_assert(PanelCols % (Vectors * width) == 0);
};

// Sized so that accumulators, one row of b and a broadcast fit the register file of each set.
using PortableGeometry = Geometry<Vec2, 4, 2, 256, 384>;
using Avx2Geometry = Geometry<Vec4, 6, 2, 256, 384>;
using Avx512Geometry = Geometry<Vec8, 8, 3, 256, 384>;

std::size_t round_up(std::size_t value, std::size_t step) { return (value + step - 1) / step * step; }

// A scratch buffer of `count` doubles whose first element starts a cache line, so that no vector
// load from the packed operands straddles two lines.
struct PackedBuffer {
    static constexpr std::size_t line = 64;
    Buffer<double> storage;
    double* data;
    explicit PackedBuffer(std::size_t count)
        : storage(uninitialized_buffer<double>(count + line / sizeof(double) - 1)),
          data(storage.data() + (line - reinterpret_cast<std::uintptr_t>(storage.data()) % line) % line /
                                    sizeof(double)) {}
};

// One element of a, to be multiplied by vectors of b. The product comes back through a reference:
// clang refuses wide vectors passed by value into or out of a function built for another set.
template <class V>
struct ElementOfA {
    V value;
    [[gnu::always_inline]] explicit ElementOfA(const double* element) : value(broadcast<V>(*element)) {}
    // Rounded: -ffp-contract=off keeps the product from fusing with the addition that follows.
    [[gnu::always_inline]] void multiply(const V& vector, V& product) const { product = value * vector; }
};

#if defined(__x86_64__)
// The specialisations carry their instruction set, as their asm needs its registers; not being
// always_inline, they are inlined once the tile is inside a function built for that set.

// gcc, left to itself, loads a whole column of the packed strip as one vector and spreads each
// element with permutes, which take the pipes the multiplies and additions need; a broadcast
// straight from memory costs only a load.
template <>
struct ElementOfA<Vec4> {
    Vec4 value;
    TARVIK_TARGET_AVX2 explicit ElementOfA(const double* element) {
        asm("vbroadcastsd %1, %0" : "=x"(value) : "m"(*element));
    }
    TARVIK_TARGET_AVX2 void multiply(const Vec4& vector, Vec4& product) const { product = value * vector; }
};

// With AVX-512 a separate broadcast load still costs the tile about a fifth of its speed on Zen 4,
// so each multiply reads the element itself through an embedded broadcast ({1to8}); the tile then
// runs at the rate of the multiply and add pipes.
template <>
struct ElementOfA<Vec8> {
    const double* element;
    explicit ElementOfA(const double* at) : element(at) {}
    TARVIK_TARGET_AVX512 void multiply(const Vec8& vector, Vec8& product) const {
        asm("vmulpd %2%{1to8%}, %1, %0" : "=v"(product) : "v"(vector), "m"(*element));
    }
};
#endif

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
        // Unrolled by request, as clang otherwise keeps the sums in memory around the asm.
#pragma GCC unroll 16
        for (std::size_t r = 0; r < G::rows; ++r) {
            const ElementOfA<V> element(a + l * G::rows + r);
#pragma GCC unroll 16
            for (std::size_t v = 0; v < G::vectors; ++v) {
                V product;
                element.multiply(row_of_b[v], product);
                sums[r][v] = sums[r][v] + product;
            }
        }
    }
    for (std::size_t r = 0; r < G::rows; ++r)
        for (std::size_t v = 0; v < G::vectors; ++v) store(c + r * ldc + v * G::width, sums[r][v]);
}

// Copies `count` (at most G::rows) rows by `depth` columns of a (rows `lda` apart) into one strip,
// stored column after column; rows past `count` are zero and only feed tile rows that are dropped.
template <class G>
[[gnu::always_inline]] inline void pack_a(const double* a, std::size_t lda, std::size_t count, std::size_t depth,
                                          double* packed) {
    if (count == G::rows) {
        // Column by column with a fixed row count, which the compiler turns into a transpose of
        // whole vectors; this copy is made once for every block of b, so its speed shows.
        for (std::size_t l = 0; l < depth; ++l)
            for (std::size_t r = 0; r < G::rows; ++r) packed[l * G::rows + r] = a[r * lda + l];
        return;
    }
    for (std::size_t l = 0; l < depth; ++l) {
        for (std::size_t r = 0; r < count; ++r) packed[l * G::rows + r] = a[r * lda + l];
        for (std::size_t r = count; r < G::rows; ++r) packed[l * G::rows + r] = 0.0;
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

// Asks for part `part` of `parts` of a strip of a (`count` rows `lda` apart, `depth` columns) to be
// brought into the second-level cache. Spread over the tiles of the strip before it, this keeps
// the packing of each strip from waiting on memory without a burst of requests.
[[gnu::always_inline]] inline void prefetch_strip(const double* a, std::size_t lda, std::size_t count,
                                                  std::size_t depth, std::size_t part, std::size_t parts) {
    constexpr std::size_t per_line = 64 / sizeof(double);
    const std::size_t lines = (depth + per_line - 1) / per_line;
    for (std::size_t r = 0; r < count; ++r)
        for (std::size_t line = part * lines / parts; line < (part + 1) * lines / parts; ++line)
            __builtin_prefetch(a + r * lda + line * per_line, 0, 2);
}

// Panels of b columns, then steps of l in ascending blocks, then strips of a rows: every c element
// meets its l blocks in order, and within a block its products in order.
template <class G>
[[gnu::always_inline]] inline void multiply_blocked(const double* a, const double* b, double* c, std::size_t m,
                                                    std::size_t k, std::size_t n) {
    if (m == 0 || k == 0 || n == 0) return;
    PackedBuffer packed_a(G::rows * std::min(k, G::depth));
    PackedBuffer packed_b(round_up(std::min(n, G::panel_cols), G::cols) * std::min(k, G::depth));
    for (std::size_t col0 = 0; col0 < n; col0 += G::panel_cols) {
        const std::size_t panel_cols = std::min(G::panel_cols, n - col0);
        for (std::size_t l0 = 0; l0 < k; l0 += G::depth) {
            const std::size_t depth = std::min(G::depth, k - l0);
            pack_b<G>(b + l0 * n + col0, n, depth, panel_cols, packed_b.data);
            const std::size_t tiles = (panel_cols + G::cols - 1) / G::cols;
            for (std::size_t i = 0; i < m; i += G::rows) {
                const std::size_t rows = std::min(G::rows, m - i);
                pack_a<G>(a + i * k + l0, k, rows, depth, packed_a.data);
                for (std::size_t tile = 0; tile < tiles; ++tile) {
                    if (i + rows < m)
                        prefetch_strip(a + (i + rows) * k + l0, k, std::min(G::rows, m - i - rows), depth, tile, tiles);
                    const std::size_t j = tile * G::cols;
                    multiply_edge_tile<G>(depth, packed_a.data, packed_b.data + j * depth, c + i * n + col0 + j, n,
                                          rows, std::min(G::cols, panel_cols - j));
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
