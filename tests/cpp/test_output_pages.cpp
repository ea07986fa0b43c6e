// A pass writing a fresh output while another worker maps its pages in from the back: the mapping
// must happen where a worker is free, and must never disturb what the pass has written.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include <sys/mman.h>

#include "base/buffer.hpp"
#include "parallel/output_pages.hpp"

namespace tarvik {
namespace {

bool resident(const void* address) {
    const auto page = reinterpret_cast<std::uintptr_t>(address) / 4096 * 4096;
    unsigned char state = 0;
    return mincore(reinterpret_cast<void*>(page), 4096, &state) == 0 && (state & 1) != 0;
}

// Waits up to ten seconds (sanitized builds are slow) for `holds()`.
template <class Condition>
bool eventually(Condition holds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!holds())
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

// Whether the kernel (or the emulator in between) maps pages in on request.
bool mapping_offered() {
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return false;
    const bool offered = madvise(page, 4096, MADV_POPULATE_WRITE) == 0 && resident(page);
    munmap(page, 4096);
    return offered;
}

TEST(OutputPages, AnIdleWorkerMapsThePagesWithoutTouchingWhatThePassWrote) {
    if (!mapping_offered()) GTEST_SKIP() << "pages are not mapped in on request here";
    WorkerPool pool(2);
    const std::size_t count = mapped_output_bytes / sizeof(double) + 1000, half = count / 2;
    Buffer<double> out = uninitialized_buffer<double>(count);
    // Past the huge page that the writes to the front half may have mapped.
    const double* const probe = out.data() + half + (std::size_t{4} << 20) / sizeof(double);
    ASSERT_FALSE(resident(probe)) << "a fresh output of this size should not be mapped yet";
    bool mapped_by_the_other_worker = false;
    write_with_pages_mapped(pool, out.data(), count * sizeof(double), [&] {
        for (std::size_t i = 0; i < half; ++i) out[i] = double(i) * 3.0 + 1.0;
        // The other worker maps the pages from the back, up to the ones written by now and over them.
        mapped_by_the_other_worker = eventually([&] { return resident(probe); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (std::size_t i = half; i < count; ++i) out[i] = double(i) * 3.0 + 1.0;
    });
    EXPECT_TRUE(mapped_by_the_other_worker);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < count; ++i) wrong += out[i] != double(i) * 3.0 + 1.0;
    EXPECT_EQ(wrong, 0u);
}

}  // namespace
}  // namespace tarvik
