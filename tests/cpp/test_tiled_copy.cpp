#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "kernels/tiled_copy.hpp"

using namespace tarvik;

namespace {

// Every (rows, cols, row step, column step), with extents around the tile and block sizes, against
// the element-by-element formula; the output is prefilled so a missed element shows.
TEST(CopyTiled, CopiesEveryElementOfAStridedWindow) {
    std::mt19937_64 rng(31);
    using Case = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>;
    std::vector<Case> cases = {{1, 1, 1, 1},   {3, 5, 1, 3},    {4, 4, 1, 4},   {5, 7, 1, 9},   {16, 16, 1, 16},
                               {17, 33, 1, 17}, {33, 18, 1, 40}, {40, 40, 41, 1}, {9, 21, 30, 2}, {20, 19, 2, 45}};
    for (int trial = 0; trial < 40; ++trial) {
        std::uniform_int_distribution<std::uint64_t> extent(1, 50), step(1, 60);
        cases.emplace_back(extent(rng), extent(rng), step(rng), step(rng));
    }
    for (const auto& [rows, cols, row_step, col_step] : cases) {
        const std::uint64_t span = (rows - 1) * row_step + (cols - 1) * col_step + 1;
        std::vector<double> source(span + 3);
        for (std::size_t p = 0; p < source.size(); ++p) source[p] = static_cast<double>(p);
        std::vector<double> out(rows * cols, -1.0);
        copy_tiled(source.data() + 3, rows, cols, row_step, col_step, out.data());
        for (std::uint64_t i = 0; i < rows; ++i)
            for (std::uint64_t j = 0; j < cols; ++j)
                ASSERT_EQ(out[i * cols + j], source[3 + i * row_step + j * col_step])
                    << rows << "x" << cols << " steps " << row_step << "," << col_step << " at " << i << "," << j;
    }
}

}  // namespace
