// The copy of a two-dimensional strided window into dense row-major storage, in cache-sized tiles.
#pragma once

#include <cstdint>

namespace tarvik {

// out[i·cols + j] = origin[i·row_step + j·col_step] for every i < rows, j < cols. Tiles keep the
// lines a tile reads and the lines it writes in the first-level cache when either step is large; a
// transposed dense matrix (row_step 1) moves as 4×4 blocks turned round in registers.
void copy_tiled(const double* origin, std::uint64_t rows, std::uint64_t cols, std::uint64_t row_step,
                std::uint64_t col_step, double* out);

}  // namespace tarvik
