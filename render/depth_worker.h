#pragma once

// Inside the renderer only: the second thread of the depth-tested draw and of its resolve. Their
// work comes cut into blocks that may be done in any order, by either thread: a point's word is
// the smaller of two whoever writes it, and the resolve's blocks are bands of rows of their own.
// So the two threads need no order between them and no log, only a counter of the blocks handed
// out. (draw_points' helper cannot do this work: a later point must overwrite an earlier one
// there, which ties it to the order of the points.)

#include <cstdint>

// What a kind of work has cost lately, with the worker and alone, in nanoseconds a block; 0 until
// measured. When another program keeps a processor busy, the worker may lose its processor with
// a block in hand, and the calling thread, which must wait for that block, would do better alone.
struct SharingCosts {
    double shared;
    double alone;
    std::uint32_t runs;
};

// A piece of work of `block_count` blocks, each to be done exactly once, by
// do_block(context, block, part): part 0 on the calling thread and part 1 on the worker, so that
// each can keep to memory of its own. `costs` is the record of its kind of work.
struct BlockWork {
    void (*do_block)(const void* context, std::uint32_t block, int part);
    const void* context;
    std::uint32_t block_count;
    SharingCosts* costs;
};

// How a piece of work is shared with the worker.
enum class WorkerSharing {
    // The calling thread does every block.
    alone,
    // Where the process may run on two processors and there are two blocks or more, the worker
    // takes blocks from the same counter as the calling thread, as soon as it wakes; unless work
    // of this kind has lately cost more that way than alone, and then the calling thread does it
    // alone, trying the worker again now and then.
    with_worker,
    // For tests: whatever the processors, the calling thread starts only once the worker has
    // taken the first block, so the worker always takes part.
    worker_first,
    // For tests: as worker_first, but the worker starts its block only once the calling thread
    // has done every other, as a worker would that lost its processor; the work must still be
    // whole when share_blocks returns.
    worker_holds,
};

// Does every block of `work`, shared as `sharing` says, and returns once all are done and the
// worker is out of the work, so that the caller may free or change whatever the blocks read the
// moment it returns. The calling thread waits for the worker only at the end, for the block in
// its hands. Falls back to the calling thread alone if the worker cannot be started. Gives
// whether the worker did any of the blocks.
bool share_blocks(const BlockWork& work, WorkerSharing sharing);
