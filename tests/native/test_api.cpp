// The public C++ API: every codec tag written by MappedView and read back by the
// codec's decoding rules (what Python's read(tag) runs), the Python side's
// messages for the same mistakes, lock timeouts, and the ring's frames,
// waits and zero-copy peek.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/codec.hpp"
#include "platform/platform.hpp"
#include "support.hpp"
#include "platform/wait.hpp"
#include "core/lock.hpp"
#include "core/view_attach.hpp"
#include "velmora/velmora.hpp"
#include "core/view_rules.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;

using test::must;

// A created segment whose name is removed again at the end of the test.
struct Seg {
    SharedMemory seg;
    explicit Seg(std::uint64_t size) : seg(must(SharedMemory::create(test::fresh_name("api"), size))) {}
    ~Seg() { (void)SharedMemory::remove(seg.name()); }
    // Another process's view of it, made the way an opener makes one.
    SharedMemory opened() const { return must(SharedMemory::open(seg.name(), seg.size())); }
};

std::vector<std::uint8_t> raw(const MappedView& v, std::uint64_t offset, std::size_t n) {
    std::vector<std::uint8_t> out(n);
    EXPECT_TRUE(v.read(offset, out).ok());
    return out;
}

template <class T>
std::vector<std::uint8_t> le_bytes(T v) {
    std::vector<std::uint8_t> out(sizeof v);
    store_le(out.data(), v);
    return out;
}

// C++ writes each value at an odd offset; the bytes must be the codec's
// encoding and decode_scalar (Python's read rules) must give the value back
// under every tag that names the form.
template <class T>
void round_trip(MappedView& v, T value, std::vector<std::string_view> tags) {
    // Bit for bit, so -0.0 and NaN count too.
    const auto same = [](T a, T b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    SCOPED_TRACE(std::string(tags[0]) + " " + std::to_string(static_cast<double>(value)));
    ASSERT_TRUE(v.write<T>(3, value).ok());
    const auto stored = raw(v, 3, sizeof(T));
    if constexpr (std::is_same_v<T, bool>) EXPECT_EQ(stored, std::vector<std::uint8_t>(1, value ? 1 : 0));
    else EXPECT_EQ(stored, le_bytes(value));
    for (std::string_view tag : tags) {
        auto d = decode_scalar(stored.data(), stored.size(), tag);
        ASSERT_TRUE(d.ok()) << d.error().message;
        EXPECT_EQ(d->consumed, sizeof(T));
        std::visit([&](auto got) {
            if constexpr (std::is_arithmetic_v<decltype(got)>) EXPECT_TRUE(same(static_cast<T>(got), value));
            else ADD_FAILURE() << "decoded as str";
        }, d->value);
    }
    auto back = v.read<T>(3);
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_TRUE(same(*back, value));
}

TEST(CppApi, EveryCodecTagRoundTrips) {
    Seg s(4 + 64);
    MappedView v = must(s.seg.map());
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (bool b : {true, false}) round_trip(v, b, {"bool"});
    for (std::uint8_t x : {0, 1, 255}) round_trip<std::uint8_t>(v, x, {"u8"});
    for (std::int32_t x : {0, -1, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()})
        round_trip(v, x, {"i32"});
    for (std::uint32_t x : {0u, 0xDEADBEEFu, 0xFFFFFFFFu}) round_trip(v, x, {"u32"});
    for (std::int64_t x : {std::int64_t{0}, std::int64_t{-42}, std::numeric_limits<std::int64_t>::min()})
        round_trip(v, x, {"i64", "int"});
    for (std::uint64_t x : {std::uint64_t{0}, ~std::uint64_t{0}}) round_trip(v, x, {"u64"});
    for (float x : {1.5f, -0.0f, 3.4e38f, std::numeric_limits<float>::quiet_NaN()}) round_trip(v, x, {"f32"});
    for (double x : {3.141592653589793, -0.0, inf, -inf, 5e-324}) round_trip(v, x, {"f64", "float"});
}

TEST(CppApi, StrIsCountThenUtf8) {
    Seg s(4 + 64);
    MappedView v = must(s.seg.map());
    for (std::string text : {std::string("h\xc3\xa9llo \xe2\x82\xac"), std::string(), std::string("a\0b", 3)}) {
        EXPECT_EQ(must(v.write_str(5, text)), 4 + text.size());
        const auto stored = raw(v, 5, 4 + text.size());
        EXPECT_EQ(load_le<std::uint32_t>(stored.data()), text.size());
        auto d = decode_scalar(stored.data(), stored.size(), "str");
        ASSERT_TRUE(d.ok());
        const auto payload = std::get<std::span<const std::uint8_t>>(d->value);
        EXPECT_EQ(std::string(payload.begin(), payload.end()), text);
        EXPECT_EQ(must(v.read_str(5)), text);
    }
}

// The words are the Python side's for the same call.
TEST(CppApi, ErrorsCarryThePythonMessages) {
    Seg s(4 + 16);
    MappedView v = must(s.seg.map());
    const std::uint8_t eight[8] = {};
    ASSERT_TRUE(v.write(0, eight).ok());
    const std::uint8_t huge[4] = {0xFF, 0xFF, 0xFF, 0x7F};
    ASSERT_TRUE(v.write(8, huge).ok());
    struct Case {
        const char* what;
        Status status;
        const char* message;
    };
    const auto err = [](auto r) -> Status { return r.ok() ? Status{} : Status(r.error()); };
    const Case cases[] = {
        {"read past end", err(v.read<std::int64_t>(13)), "not enough data to read 'i64': need 8, have 3"},
        {"bool at end", err(v.read<bool>(16)), "not enough data to read 'bool'"},
        {"position past end", err(v.read<float>(17)), "seek position 17 exceeds data_size 16"},
        {"write past end", v.write<double>(9, 1.0), "out of bounds: offset=9 + length=8 > data_size=16"},
        {"empty write", v.write(0, std::span<const std::uint8_t>{}), "length cannot be zero"},
        {"str count too big", err(v.read_str(8)), "not enough data to read str payload: need 2147483651, have 8"},
        {"str at end", err(v.read_str(14)), "not enough data to read str length prefix"},
        {"str write too long", err(v.write_str(0, std::string(13, 'x'))),
         "out of bounds: offset=0 + length=17 > data_size=16"},
        {"zero size", err(SharedMemory::create(test::fresh_name("api"), 0)), "size must be > 0"},
        {"bad name", err(SharedMemory::create("nope", 8)), "name must start with '/' (e.g. \"/my_segment\")"},
        {"short name", SharedMemory::remove("/"), "name must have at least one character after '/'"},
        {"ring size", err(s.seg.ring()), "map_size must be > 24 bytes (spsc header)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(c.status.ok());
        EXPECT_EQ(c.status.error().kind, Error::Kind::Value);
        EXPECT_EQ(c.status.error().reason,
                  std::string_view(c.what).ends_with(" name") ? Reason::name : Reason::invalid_argument);
        EXPECT_EQ(c.status.error().message, c.message);
    }
    Seg tiny(4);
    auto no_view = tiny.seg.map();
    ASSERT_FALSE(no_view.ok());
    EXPECT_EQ(no_view.error().message, "segment size must be > 4 bytes (rwlock header)");
}

TEST(CppApi, SegmentHandles) {
    Seg s(4096 + 24);
    EXPECT_TRUE(s.seg.creator());
    SharedMemory other = s.opened();
    EXPECT_FALSE(other.creator());
    SharedMemory moved = std::move(s.seg);
    EXPECT_EQ(moved.size(), 4096u + 24);
    EXPECT_EQ(other.name(), moved.name());
    s.seg = std::move(moved);
#ifndef _WIN32
    auto twice = SharedMemory::create(s.seg.name(), 64);
    ASSERT_FALSE(twice.ok());
    EXPECT_EQ(twice.error().kind, Error::Kind::Os);
    EXPECT_EQ(twice.error().code, 17);  // EEXIST: Python's FileExistsError
    EXPECT_EQ(twice.error().reason, Reason::exists);
#endif
    auto missing = SharedMemory::open(test::fresh_name("api"), 64);  // a size: Windows asks for one first
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().reason, Reason::not_found) << missing.error().message;
    EXPECT_EQ(reason_name(missing.error().reason), "not_found");
}

std::uint64_t ms_since(std::uint64_t t0) { return (monotonic_ns() - t0) / 1'000'000; }

// Another holder of the lock word, taken through the core on its own mapping.
struct RawLock {
    PlatformHandle handle;
    Mapping mapping;
    ViewAttachment attachment;
    explicit RawLock(const SharedMemory& seg)
        : handle(must(PlatformHandle::open(seg.name(), seg.size()))), mapping(must(handle.map())),
          attachment(must(ClaimSite::of(handle))) {}
    ShmRwLock lock() const { return ShmRwLock(mapping.base()); }
    // A hold as another handle of this process takes one: counted, so a
    // waiting MappedView never takes it for a dead holder's.
    template <bool Exclusive>
    std::unique_ptr<std::optional<CountedHoldOf<Exclusive>>> hold() const {
        auto held = std::make_unique<std::optional<CountedHoldOf<Exclusive>>>();
        EXPECT_TRUE(attachment.try_lock<Exclusive>(lock(), *held));
        return held;
    }
};

TEST(CppApi, LockStateAndTimeout) {
    Seg s(4 + 8);
    MappedView v = must(s.seg.map());
    const RawLock other(s.seg);
    const std::string where = "' (lock word ";
    {
        auto r1 = other.hold<false>();
        auto r2 = other.hold<false>();
        EXPECT_EQ(v.reader_count(), 2);
        EXPECT_TRUE(v.read<std::uint32_t>(0).ok());  // readers share
        v.set_lock_timeout(20ms);
        const std::uint64_t t0 = monotonic_ns();
        const Status st = v.write<std::uint32_t>(0, 1);
        EXPECT_GE(ms_since(t0), 20u);
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().kind, Error::Kind::Timeout);
        EXPECT_EQ(st.error().reason, Reason::timeout);
        EXPECT_EQ(st.error().message,
                  "timed out after 0.02 s waiting for the lock of '" + s.seg.name() + where + "2: 2 readers)");
    }
    {
        auto w = other.hold<true>();
        EXPECT_TRUE(v.is_write_locked());
        v.set_lock_timeout(0ns);
        const auto r = v.read<std::uint32_t>(0);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message,
                  "timed out after 0.0 s waiting for the lock of '" + s.seg.name() + where + "-1: write-locked)");
        v.reset_lock();  // as after a holder that died
        EXPECT_FALSE(v.is_write_locked());
        EXPECT_TRUE(v.write<std::uint32_t>(0, 9).ok());
    }  // the old holder's release leaves the reset word alone
    EXPECT_FALSE(v.is_write_locked());
    EXPECT_EQ(v.read<std::uint32_t>(0).value(), 9u);
}

TEST(CppApi, FloatReprMatchesPython) {
    const std::pair<double, const char*> cases[] = {
        {0.0, "0.0"},      {1.0, "1.0"},       {0.02, "0.02"},       {2.5, "2.5"},
        {0.0001, "0.0001"}, {1e-05, "1e-05"},  {2.5e-07, "2.5e-07"}, {123456.75, "123456.75"},
        {1e15, "1000000000000000.0"},           {1e16, "1e+16"},      {1.7976931348623157e308, "1.7976931348623157e+308"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(float_repr(value), text) << value;
}

Bytes text_bytes(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }
std::string as_text(Bytes b) { return std::string(b.begin(), b.end()); }

TEST(CppApi, RingFramesAreLengthPrefixedPayloads) {
    Seg s(64 + 24);
    SpscRingBuffer p = must(s.seg.ring());
    SpscRingBuffer c = must(s.opened().ring());
    const RawLock raw(s.seg);  // the whole mapping: header, then data
    EXPECT_EQ(p.capacity(), 64u);
    ASSERT_TRUE(must(p.try_push(text_bytes("abc"), text_bytes("defg"))));
    EXPECT_EQ(c.used(), 11u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(raw.mapping.base() + 24), 11),
              std::string("\x07\0\0\0abcdefg", 11));
    std::uint8_t small[3];
    const auto refused = c.try_pop(small);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().reason, Reason::too_large) << refused.error().message;
    EXPECT_EQ(c.used(), 11u);  // still there
    std::uint8_t buf[64];
    EXPECT_EQ(must(c.try_pop(buf)), std::optional<std::size_t>(7));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 7), "abcdefg");
    EXPECT_FALSE(must(c.try_pop(buf)).has_value());
    // 60 + 4 fills the ring exactly; then even an empty message waits.
    const std::vector<std::uint8_t> sixty(60, 0xAB);
    EXPECT_TRUE(must(p.try_push(sixty)));
    EXPECT_FALSE(must(p.try_push({})));
    EXPECT_EQ(p.free(), 0u);
    const auto too_big = p.try_push(std::vector<std::uint8_t>(61));
    ASSERT_FALSE(too_big.ok());
    EXPECT_EQ(too_big.error().reason, Reason::too_large) << too_big.error().message;
}

TEST(CppApi, RingPeekHandsOutBothPartsOfAWrappedFrame) {
    Seg s(64 + 24);
    SpscRingBuffer p = must(s.seg.ring());
    SpscRingBuffer c = must(s.opened().ring());
    std::uint8_t buf[64];
    ASSERT_TRUE(must(p.try_push(std::vector<std::uint8_t>(40))));
    ASSERT_TRUE(must(c.try_pop(buf)).has_value());  // head is now 44
    std::string payload;
    for (int i = 0; i < 30; ++i) payload += static_cast<char>('A' + i);
    ASSERT_TRUE(must(p.try_push(text_bytes(payload))));  // prefix 44..47, payload 48..63 then 0..13
    const auto frame = must(c.try_peek());
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(as_text(frame->first()), payload.substr(0, 16));
    EXPECT_EQ(as_text(frame->second()), payload.substr(16));
    EXPECT_EQ(frame->size(), 30u);
    EXPECT_EQ(as_text(must(c.try_peek())->first()), payload.substr(0, 16));  // not consumed yet
    EXPECT_TRUE(c.consume(*frame).ok());
    EXPECT_EQ(c.used(), 0u);
    EXPECT_FALSE(must(c.try_peek()).has_value());
}

// A frame is consumed once, by the ring that peeked it, before any later pop;
// every misuse is refused and leaves the stream intact.
TEST(CppApi, RingConsumeRefusesFramesItCannotVouchFor) {
    Seg s(64 + 24);
    SpscRingBuffer p = must(s.seg.ring());
    SpscRingBuffer c = must(s.opened().ring());
    SpscRingBuffer other = must(s.opened().ring());
    std::uint8_t buf[64];
    for (const char* m : {"one", "two", "three"}) ASSERT_TRUE(must(p.try_push(text_bytes(m))));
    const Frame first = *must(c.try_peek());
    const auto refused = [](Status st) { return !st.ok() && st.error().kind == Error::Kind::Value; };
    EXPECT_TRUE(refused(c.consume(Frame{})));
    EXPECT_TRUE(refused(other.consume(first)));  // same segment, another SpscRingBuffer
    ASSERT_EQ(must(c.try_pop(buf)), std::optional<std::size_t>(3));  // "one" goes by a later pop
    EXPECT_TRUE(refused(c.consume(first)));
    const Frame second = *must(c.try_peek());
    EXPECT_EQ(as_text(second.first()), "two");
    EXPECT_TRUE(c.consume(second).ok());
    EXPECT_TRUE(refused(c.consume(second)));  // twice
    EXPECT_EQ(must(c.try_pop(buf)), std::optional<std::size_t>(5));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf), 5), "three");
    EXPECT_FALSE(must(c.try_pop(buf)).has_value());
    EXPECT_TRUE(must(p.try_push(text_bytes("four"))));  // and the stream goes on
    EXPECT_EQ(must(c.try_pop(buf)), std::optional<std::size_t>(4));
}

TEST(CppApi, RingWaitsTimeOutThenStreamAcrossThreads) {
    Seg s(256 + 24);
    SpscRingBuffer p = must(s.seg.ring());
    SpscRingBuffer c = must(s.opened().ring());
    std::vector<std::uint8_t> buf(256);
    std::uint64_t t0 = monotonic_ns();
    EXPECT_FALSE(must(c.pop(buf, 20ms)).has_value());
    EXPECT_GE(ms_since(t0), 20u);
    EXPECT_FALSE(must(c.peek(0ns)).has_value());
    ASSERT_TRUE(must(p.push(std::vector<std::uint8_t>(252), 20ms)));
    t0 = monotonic_ns();
    EXPECT_FALSE(must(p.push(std::vector<std::uint8_t>(1), 20ms)));
    EXPECT_GE(ms_since(t0), 20u);
    ASSERT_TRUE(must(c.pop(buf, 0ns)).has_value());

    // Sizes from 0 to 200 bytes, content from the sequence number: a lost,
    // repeated, reordered or torn message shows.
    constexpr int kCount = 3000;
    const auto message = [](int seq) {
        std::vector<std::uint8_t> m(static_cast<std::size_t>(seq * 37 % 201));
        for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(seq + i);
        return m;
    };
    std::thread producer([&] {
        for (int seq = 0; seq < kCount; ++seq)
            if (!must(p.push(message(seq), 30s))) return;
    });
    int bad = 0, got = 0;
    for (; got < kCount; ++got) {
        const auto n = must(c.pop(buf, 30s));
        if (!n) break;
        if (std::vector<std::uint8_t>(buf.begin(), buf.begin() + static_cast<long>(*n)) != message(got)) ++bad;
    }
    producer.join();
    EXPECT_EQ(got, kCount);
    EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace velmora
