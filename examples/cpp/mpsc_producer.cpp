// One producer of a fan-in ring that a Python process created and consumes:
//
//   ring = velmora.MpscRingBuffer.create("/results", 4096)
//   ... start `mpsc_producer /results 7 1000` (and others), then ring.get()
//
// Message `seq` of producer `id` is its id and seq as two u32 LE, then
// seq % 300 bytes, byte i being (id * 31 + seq + i) mod 256.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <velmora/velmora.hpp>

namespace {

int fail(const velmora::Error& e) {
    std::fprintf(stderr, "mpsc_producer: %s\n", e.message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: mpsc_producer NAME ID COUNT\n");
        return 2;
    }
    auto ring = velmora::MpscRingBuffer::open(argv[1]);
    if (!ring) return fail(ring.error());
    const auto id = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const std::uint64_t count = std::strtoull(argv[3], nullptr, 10);
    std::vector<std::uint8_t> message;
    for (std::uint32_t seq = 0; seq < count; ++seq) {
        message.assign(8 + seq % 300, 0);
        std::memcpy(message.data(), &id, 4);
        std::memcpy(message.data() + 4, &seq, 4);
        for (std::size_t i = 8; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(id * 31 + seq + i - 8);
        auto pushed = ring->push(message, std::chrono::seconds(30));
        if (!pushed) return fail(pushed.error());
        if (!*pushed) {
            std::fprintf(stderr, "mpsc_producer: no room for 30 s at message %u\n", seq);
            return 1;
        }
    }
    std::printf("sent %llu\n", static_cast<unsigned long long>(count));
    return 0;
}
