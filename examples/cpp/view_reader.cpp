// Reads the values a Python process wrote into a view and answers in the
// same view:
//
//   view = velmora.SharedMemory.create("/state", 4096).map()
//   view.write(True, 0); view.write(-1234567890123, 1); view.write(0.0025, 9)
//   view.write("héllo ✓", 17)
//   view.write(struct.pack("<BiIQf", 200, -7, 4000000000, 2**64 - 1, 1.5), 64)
//   ... run `view_reader /state`, then view.read_range(256, ...) / read("str")
//
// It prints one line per value and the data area's first 128 bytes in hex,
// then writes at offset 256: a str and the i64 sum of the integers it read.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <velmora/velmora.hpp>

namespace {

int fail(const velmora::Error& e) {
    std::fprintf(stderr, "view_reader: %s\n", e.message.c_str());
    return 1;
}

template <class T>
std::string text(T v) {
    char buf[64];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: view_reader NAME\n");
        return 2;
    }
    auto segment = velmora::SharedMemory::open(argv[1]);
    if (!segment) return fail(segment.error());
    auto view = segment->map();
    if (!view) return fail(view.error());
    view->set_lock_timeout(std::chrono::seconds(10));

    auto flag = view->read<bool>(0);
    auto big = view->read<std::int64_t>(1);
    auto ratio = view->read<double>(9);
    auto greeting = view->read_str(17);
    auto u8 = view->read<std::uint8_t>(64);
    auto i32 = view->read<std::int32_t>(65);
    auto u32 = view->read<std::uint32_t>(69);
    auto u64 = view->read<std::uint64_t>(73);
    auto f32 = view->read<float>(81);
    for (const velmora::Error* e : {flag ? nullptr : &flag.error(), big ? nullptr : &big.error(),
                                      ratio ? nullptr : &ratio.error(), greeting ? nullptr : &greeting.error(),
                                      u8 ? nullptr : &u8.error(), i32 ? nullptr : &i32.error(),
                                      u32 ? nullptr : &u32.error(), u64 ? nullptr : &u64.error(),
                                      f32 ? nullptr : &f32.error()})
        if (e != nullptr) return fail(*e);

    std::printf("bool=%s\ni64=%s\nf64=%s\nstr=%s\nu8=%s\ni32=%s\nu32=%s\nu64=%s\nf32=%s\n",
                *flag ? "True" : "False", text(*big).c_str(), text(*ratio).c_str(), greeting->c_str(),
                text(*u8).c_str(), text(*i32).c_str(), text(*u32).c_str(), text(*u64).c_str(),
                text(*f32).c_str());

    std::vector<std::uint8_t> head(128);
    if (auto st = view->read(0, head); !st) return fail(st.error());
    std::string hex;
    for (std::uint8_t b : head) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    std::printf("hex=%s\n", hex.c_str());

    auto written = view->write_str(256, "r\xc3\xa9ponse from C++");
    if (!written) return fail(written.error());
    const std::int64_t sum = *big + *u8 + *i32 + *u32;
    if (auto st = view->write<std::int64_t>(256 + *written, sum); !st) return fail(st.error());
    return 0;
}
