#include "kernels/tiled_copy.hpp"

#include <algorithm>

#include "base/simd.hpp"

namespace tarvik {

namespace {

constexpr std::uint64_t tile = 16;

// The four rows of a 4×4 block starting at `from` (rows `from_step` apart) written as the four
// columns of the block at `to` (rows `to_step` apart).
[[gnu::always_inline]] inline void turn_block(const double* from, std::uint64_t from_step, double* to,
                                              std::uint64_t to_step) {
    const Vec4 r0 = load<Vec4>(from), r1 = load<Vec4>(from + from_step), r2 = load<Vec4>(from + 2 * from_step),
               r3 = load<Vec4>(from + 3 * from_step);
    const Vec4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 2, 6);
    const Vec4 t1 = __builtin_shufflevector(r0, r1, 1, 5, 3, 7);
    const Vec4 t2 = __builtin_shufflevector(r2, r3, 0, 4, 2, 6);
    const Vec4 t3 = __builtin_shufflevector(r2, r3, 1, 5, 3, 7);
    const Vec4 c0 = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    const Vec4 c1 = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    const Vec4 c2 = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    const Vec4 c3 = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
    store(to, c0);
    store(to + to_step, c1);
    store(to + 2 * to_step, c2);
    store(to + 3 * to_step, c3);
}

// One tile, rows [i0, i1) by columns [j0, j1); whole 4×4 blocks are turned round when the source
// rows are contiguous, the rest is copied element by element.
[[gnu::always_inline]] inline void copy_tile(const double* origin, std::uint64_t cols, std::uint64_t row_step,
                                             std::uint64_t col_step, double* out, std::uint64_t i0,
                                             std::uint64_t i1, std::uint64_t j0, std::uint64_t j1) {
    std::uint64_t i_blocks = i0, j_blocks = j0;
    if (row_step == 1) {
        i_blocks = i0 + (i1 - i0) / 4 * 4;
        j_blocks = j0 + (j1 - j0) / 4 * 4;
        for (std::uint64_t i = i0; i < i_blocks; i += 4)
            for (std::uint64_t j = j0; j < j_blocks; j += 4) turn_block(origin + i + j * col_step, col_step, out + i * cols + j, cols);
    }
    for (std::uint64_t i = i0; i < i1; ++i) {
        // Rows inside the blocks only need the columns the blocks left.
        const std::uint64_t from_j = i < i_blocks ? j_blocks : j0;
        for (std::uint64_t j = from_j; j < j1; ++j) out[i * cols + j] = origin[i * row_step + j * col_step];
    }
}

[[gnu::always_inline]] inline void copy_tiles(const double* origin, std::uint64_t rows, std::uint64_t cols,
                                              std::uint64_t row_step, std::uint64_t col_step, double* out) {
    for (std::uint64_t i0 = 0; i0 < rows; i0 += tile) {
        const std::uint64_t i1 = std::min(rows, i0 + tile);
        for (std::uint64_t j0 = 0; j0 < cols; j0 += tile)
            copy_tile(origin, cols, row_step, col_step, out, i0, i1, j0, std::min(cols, j0 + tile));
    }
}

TARVIK_TARGET_AVX2 void copy_tiles_avx2(const double* origin, std::uint64_t rows, std::uint64_t cols,
                                        std::uint64_t row_step, std::uint64_t col_step, double* out) {
    copy_tiles(origin, rows, cols, row_step, col_step, out);
}

}  // namespace

void copy_tiled(const double* origin, std::uint64_t rows, std::uint64_t cols, std::uint64_t row_step,
                std::uint64_t col_step, double* out) {
    if (widest_isa() != Isa::portable)
        copy_tiles_avx2(origin, rows, cols, row_step, col_step, out);
    else
        copy_tiles(origin, rows, cols, row_step, col_step, out);
}

}  // namespace tarvik
