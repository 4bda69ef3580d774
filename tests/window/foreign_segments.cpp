// Makes segments of shared memory that stand for another machine's or another container's: run in
// the X server's own IPC namespace before the server starts, they hold the ids that a program
// in a namespace of its own gets for its first segments, and nothing like its pixels.
//
//   foreign_segments COUNT BYTES
//       Makes COUNT segments of BYTES bytes each, readable and writable by anyone and filled
//       with magenta pixels, prints their ids, and leaves them: they go with the namespace.

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: foreign_segments COUNT BYTES\n");
        return 2;
    }
    const long count = std::strtol(argv[1], nullptr, 10);
    const std::size_t bytes = std::strtoul(argv[2], nullptr, 10);
    constexpr std::uint32_t magenta = 0xFF00FF;
    for (long made = 0; made < count; ++made) {
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0666);
        void* address = id < 0 ? nullptr : shmat(id, nullptr, 0);
        if (address == nullptr || reinterpret_cast<std::intptr_t>(address) == -1) {
            std::perror("foreign_segments");
            return 1;
        }
        auto* pixels = static_cast<std::uint32_t*>(address);
        for (std::size_t i = 0; i < bytes / sizeof magenta; ++i) {
            pixels[i] = magenta;
        }
        shmdt(address);
        std::printf("%d\n", id);
    }
    return 0;
}
