// The channel kinds, one row each: what every layer needs to know about a
// kind's segment without opening it through the kind's own class. The Python
// package (velmora/_segments.py, the command line, the bridge), the fuzz
// models and the tests read this table from the extension (`_velmora._kinds`)
// instead of stating these facts again.
//
// A row names the kind, the classes that open it, how a segment of the kind is
// recognised (a magic value and a layout version at offset 0, or, for the two
// original layouts that have none, their shape), the header's size and its
// fields that a reader without a role may look at, and the claim slots
// (core/claims.hpp) its roles take. The numbers are the kinds' own constants,
// referred to here, never restated.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/broadcast.hpp"
#include "core/broadcast_roles.hpp"
#include "core/claims.hpp"
#include "core/lock.hpp"
#include "core/mpmc.hpp"
#include "core/mpsc.hpp"
#include "core/ring.hpp"

namespace velmora {

// One header field: its name, its offset from the segment's start, and its
// type as a struct-module code ('Q' u64, 'I' u32, 'i' i32), little-endian.
struct KindField {
    std::string_view name;
    std::uint64_t offset;
    char code;
};

// The claim slots of one role: `first`, and for a role with one slot per
// producer or subscriber entry, `first + i` for entry i < the segment's count
// (`per_entry`). Exclusive roles are held by one process at a time.
struct KindClaim {
    std::string_view role;
    std::uint64_t first;
    bool per_entry;
    ClaimMode mode;
};

struct KindRow {
    std::string_view name;        // "view", "ring", "mpsc", "broadcast", "mpmc"
    std::string_view classes;     // the Python classes that open it, space-separated
    std::uint64_t magic;          // 0: recognised by its shape (view, ring)
    std::uint32_t version;        // 0: not versioned
    std::uint64_t header_size;
    std::span<const KindField> fields;
    std::span<const KindClaim> claims;
};

namespace kind_rows {

inline constexpr std::array<KindField, 1> view_fields{{{"lock", 0, 'i'}}};
inline constexpr std::array<KindClaim, 1> view_claims{{{"attached", claim_slot::attached, false, ClaimMode::Shared}}};

inline constexpr std::array<KindField, 3> ring_fields{{{"head", 0, 'Q'}, {"tail", 8, 'Q'}, {"capacity", 16, 'Q'}}};
inline constexpr std::array<KindClaim, 2> ring_claims{{
    {"producer", claim_slot::producer, false, ClaimMode::Exclusive},
    {"consumer", claim_slot::consumer, false, ClaimMode::Exclusive},
}};

// expected and joined: zero in segments made before they were kept (mpsc.hpp).
inline constexpr std::array<KindField, 6> mpsc_fields{{
    {"magic", 0, 'Q'}, {"version", kMpscVersionAt, 'I'}, {"producers", kMpscProducersAt, 'I'},
    {"capacity", kMpscCapacityAt, 'Q'}, {"expected", kMpscExpectedAt, 'I'}, {"joined", kMpscJoinedAt, 'I'},
}};
inline constexpr std::array<KindClaim, 2> mpsc_claims{{
    {"consumer", claim_slot::consumer, false, ClaimMode::Exclusive},
    {"producer", kMpscProducerClaim, true, ClaimMode::Exclusive},
}};

inline constexpr std::array<KindField, 7> mpmc_fields{{
    {"magic", 0, 'Q'}, {"version", kLaneVersionAt, 'I'}, {"producers", kLaneProducersAt, 'I'},
    {"capacity", kLaneCapacityAt, 'Q'}, {"expected", kLaneExpectedAt, 'I'}, {"joined", kLaneJoinedAt, 'I'},
    {"consumers", kMpmcConsumersAt, 'I'},
}};
inline constexpr std::array<KindClaim, 2> mpmc_claims{{
    {"consumer", kMpmcConsumerClaim, true, ClaimMode::Exclusive},
    {"producer", kMpmcProducerClaim, true, ClaimMode::Exclusive},
}};

inline constexpr std::array<KindField, 9> broadcast_fields{{
    {"magic", 0, 'Q'}, {"version", 8, 'I'}, {"overflow", 12, 'I'}, {"slot_size", 16, 'Q'},
    {"slot_count", 24, 'I'}, {"depth", 28, 'I'}, {"subscriber_limit", 32, 'I'}, {"publisher", 36, 'I'},
    {"published", 64, 'Q'},
}};
inline constexpr std::array<KindClaim, 2> broadcast_claims{{
    {"publisher", kBroadcastPublisherClaim, false, ClaimMode::Exclusive},
    {"subscriber", broadcast_entry_claim(0), true, ClaimMode::Exclusive},
}};

}  // namespace kind_rows

inline constexpr std::array<KindRow, 5> kKinds{{
    {"view", "MappedView", 0, 0, RWLOCK_SIZE, kind_rows::view_fields, kind_rows::view_claims},
    {"ring", "SpscRingBuffer", 0, 0, SPSC_HEADER_SIZE, kind_rows::ring_fields, kind_rows::ring_claims},
    {"mpsc", "MpscRingBuffer", kMpscMagic, kMpscVersion, kMpscHeaderSize, kind_rows::mpsc_fields,
     kind_rows::mpsc_claims},
    {"broadcast", "Publisher Subscriber", kBroadcastMagic, kBroadcastVersion, kBroadcastHeaderSize,
     kind_rows::broadcast_fields, kind_rows::broadcast_claims},
    {"mpmc", "MpmcRingBuffer", kMpmcMagic, kMpmcVersion, kMpmcHeaderSize, kind_rows::mpmc_fields,
     kind_rows::mpmc_claims},
}};

}  // namespace velmora
