// Creates a broadcast segment, waits for `subscribers` subscribers (Python
// processes, say), then publishes `count` frames through loaned slots and
// closes the stream:
//
//   broadcast_publisher /frames 3 100
//   ... each Python subscriber: sub = velmora.Subscriber.open("/frames")
//       with sub.receive_view() as mv: numpy.asarray(mv)   # uint16, shape (4, 8)
//
// Frame `seq` is 4 x 8 little-endian u16 items, item i being seq * 32 + i, so
// a subscriber can check every item, its type and its shape.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <velmora/velmora.hpp>

namespace {

int fail(const velmora::Error& e) {
    std::fprintf(stderr, "broadcast_publisher: %s\n", e.message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: broadcast_publisher NAME SUBSCRIBERS COUNT\n");
        return 2;
    }
    velmora::BroadcastOptions options;
    options.max_message = 4 * 8 * 2;
    options.depth = 8;
    options.subscribers = 8;
    auto pub = velmora::Publisher::create(argv[1], options);
    if (!pub) return fail(pub.error());
    std::printf("ready\n");
    std::fflush(stdout);

    const std::size_t wanted = std::strtoul(argv[2], nullptr, 10);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (pub->subscribers().size() < wanted) {
        if (std::chrono::steady_clock::now() > give_up) {
            std::fprintf(stderr, "broadcast_publisher: the subscribers did not come\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    const std::uint64_t shape[] = {4, 8};
    const std::uint64_t count = std::strtoull(argv[3], nullptr, 10);
    for (std::uint64_t seq = 0; seq < count; ++seq) {
        auto loan = pub->loan(sizeof(std::uint16_t) * 32, std::chrono::seconds(30));
        if (!loan) return fail(loan.error());
        if (!*loan) {
            std::fprintf(stderr, "broadcast_publisher: no slot for 30 s at frame %llu\n",
                         static_cast<unsigned long long>(seq));
            return 1;
        }
        auto bytes = (*loan)->bytes();
        for (std::uint16_t i = 0; i < 32; ++i) {
            const auto item = static_cast<std::uint16_t>(seq * 32 + i);
            bytes[2 * i] = static_cast<std::uint8_t>(item & 0xFF);
            bytes[2 * i + 1] = static_cast<std::uint8_t>(item >> 8);
        }
        if (auto done = pub->publish(**loan, bytes.size(), "<H", shape); !done) return fail(done.error());
    }
    pub->close();
    std::printf("sent %llu\n", static_cast<unsigned long long>(count));
    return 0;
}
