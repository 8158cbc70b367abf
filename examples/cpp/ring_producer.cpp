// Streams `count` messages into a ring that a Python process created and
// consumes:
//
//   ring = velmora.SharedMemory.create("/frames", velmora.SpscRingBuffer.segment_size(4096)).spsc()
//   ... start `ring_producer /frames 1000`, then ring.pop() each message.
//
// Message `seq` is message_size(seq) bytes, byte i being (seq * 7 + i) mod 256,
// so the consumer can check every byte.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <velmora/velmora.hpp>

namespace {

std::size_t message_size(std::uint64_t seq, std::uint64_t capacity) {
    if (seq % 50 == 0) return static_cast<std::size_t>(capacity * 3 / 4);  // large ones wrap the ring
    return static_cast<std::size_t>(seq * 131 % 1000);
}

int fail(const velmora::Error& e) {
    std::fprintf(stderr, "ring_producer: %s\n", e.message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ring_producer NAME COUNT\n");
        return 2;
    }
    auto segment = velmora::SharedMemory::open(argv[1]);
    if (!segment) return fail(segment.error());
    auto ring = segment->ring();
    if (!ring) return fail(ring.error());

    const std::uint64_t count = std::strtoull(argv[2], nullptr, 10);
    std::vector<std::uint8_t> message;
    for (std::uint64_t seq = 0; seq < count; ++seq) {
        message.resize(message_size(seq, ring->capacity()));
        for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(seq * 7 + i);
        // Waits while the consumer catches up; gives up after 30 s of no room.
        auto pushed = ring->push(message, std::chrono::seconds(30));
        if (!pushed) return fail(pushed.error());
        if (!*pushed) {
            std::fprintf(stderr, "ring_producer: no room for 30 s at message %llu\n",
                         static_cast<unsigned long long>(seq));
            return 1;
        }
    }
    std::printf("sent %llu\n", static_cast<unsigned long long>(count));
    return 0;
}
