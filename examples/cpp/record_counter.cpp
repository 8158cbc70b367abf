// The C++ side of a Python velmora.Record. The fields
//
//   rec = velmora.Record(view, {"count": "i64", "temp": "f64", "name": ("str", 32)})
//
// lays its fields out by the Record layout rule (each field aligned in the
// mapping, which starts with the 4-byte lock word, to its own size; a str is a
// u32 byte count and its UTF-8 in a fixed budget): count at data offset 4,
// temp at 12, name at 20 (4 + 32 bytes). This program prints temp and name,
// adds 1 to count N times with the lock-free word add (as rec.add("count", 1)
// does), and then sets temp, under the view's lock as rec.temp = ... does.
//
//   usage: record_counter NAME N
#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>

#include <velmora/velmora.hpp>

namespace {

constexpr std::uint64_t kCount = 4, kTemp = 12, kName = 20;

int fail(const velmora::Error& e) {
    std::fprintf(stderr, "record_counter: %s\n", e.message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    long n = 0;
    if (argc != 3 || std::from_chars(argv[2], argv[2] + std::char_traits<char>::length(argv[2]), n).ec != std::errc{}) {
        std::fprintf(stderr, "usage: record_counter NAME N\n");
        return 2;
    }
    auto segment = velmora::SharedMemory::open(argv[1]);
    if (!segment) return fail(segment.error());
    auto view = segment->map();
    if (!view) return fail(view.error());
    view->set_lock_timeout(std::chrono::seconds(10));

    auto temp = view->read<double>(kTemp);
    if (!temp) return fail(temp.error());
    auto name = view->read_str(kName);
    if (!name) return fail(name.error());
    std::printf("temp=%.17g\nname=%s\n", *temp, name->c_str());

    std::int64_t last = 0;
    for (long i = 0; i < n; ++i) {
        auto now = view->add(kCount, 1);
        if (!now) return fail(now.error());
        last = *now;
    }
    std::printf("last=%lld\n", static_cast<long long>(last));
    if (auto done = view->write<double>(kTemp, *temp + 1.0); !done) return fail(done.error());
    return 0;
}
