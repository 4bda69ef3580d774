#pragma once

// Inside the vector kernels of the depth-tested draw only, each of which includes this into its
// own file: everything here has internal linkage (see vector_kernel.h).

#include <cstdint>

namespace {

// Depth tests waiting for their words. Unlike a plain store, a depth test must read its word
// first, and a read that misses the cache holds up everything after it; so each word is fetched
// as its point comes, and the tests are made a batch later, by when the words have most likely
// arrived: the pixels go into one half, and once it holds a batch the other half's tests are
// made and it is filled next. The order of the tests does not matter.
struct PendingPixels {
    static constexpr int batch = 32;

    // Room for a batch and one more group's slots, sixteen at most.
    std::uint32_t* filling_indices() { return indices[filling] + counts[filling]; }
    std::uint64_t* filling_words() { return words[filling] + counts[filling]; }

    void count_filled(int count, std::uint64_t* frame_words) {
        counts[filling] += count;
        if (counts[filling] >= batch) {
            filling = 1 - filling;
            test_half(filling, frame_words);
        }
    }

    void test_half(int half, std::uint64_t* frame_words) {
        for (int i = 0; i < counts[half]; ++i) {
            std::uint64_t& word = frame_words[indices[half][i]];
            word = words[half][i] < word ? words[half][i] : word;
        }
        counts[half] = 0;
    }

    void finish(std::uint64_t* frame_words) {
        test_half(0, frame_words);
        test_half(1, frame_words);
    }

    std::uint32_t indices[2][batch + 16];
    std::uint64_t words[2][batch + 16];
    int counts[2] = {0, 0};
    int filling = 0;
};

}  // namespace
