// The per-process registry of claim sites and the counting of claims.
#include "core/claims.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace velmora {

std::atomic<std::uint64_t> claim_generation{1};

// Every site of the process by file key, the mutex that orders every change
// to a site's counts, and the fork generation. Made once and never destroyed,
// so handles released late at exit still find it.
struct ClaimRegistry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<ClaimSite>> sites;
    std::atomic<std::uint64_t>& generation = claim_generation;

    static ClaimRegistry& get() {
        static ClaimRegistry* registry = [] {
            auto* r = new ClaimRegistry;
            at_fork(&prepare, &parent, &child);
            return r;
        }();
        return *registry;
    }

    // The mutex is held across fork(), so the child finds the registry in one
    // piece; the child then lets go of its inherited opens and counts.
    static void prepare() { get().mutex.lock(); }
    static void parent() { get().mutex.unlock(); }
    static void child() {
        ClaimRegistry& r = get();
        r.generation.fetch_add(1);
        for (auto& [key, weak] : r.sites) {
            const std::shared_ptr<ClaimSite> site = weak.lock();
            if (!site) continue;
            site->counts_.clear();
            site->counter_.store(0);
            new (&site->mutex_) std::mutex;
            // Without an open of its own the child could neither claim nor
            // tell who else holds a slot: the site fails until it gets one.
            if (site->file_)
                if (const int err = site->file_->renew_after_fork(); err != 0) {
                    site->file_.reset();
                    site->lost_ = err;
                }
        }
        r.mutex.unlock();
    }
};

namespace {

void purge_expired(ClaimRegistry& r) {
    for (auto it = r.sites.begin(); it != r.sites.end();)
        it = it->second.expired() ? r.sites.erase(it) : std::next(it);
}

}  // namespace

ClaimSite::ClaimSite(std::optional<ClaimFile> file, std::string name)
    : file_(file ? std::make_shared<ClaimFile>(std::move(*file)) : nullptr),
      supported_(file_ != nullptr),
      name_(std::move(name)) {}

Result<std::shared_ptr<ClaimSite>> ClaimSite::of(const PlatformHandle& segment) {
    ClaimRegistry& r = ClaimRegistry::get();
    // A build without claims: every site stands alone and grants everything.
    if (!ClaimFile::supported()) return std::make_shared<ClaimSite>(std::nullopt, segment.name());
    auto opened = ClaimFile::open(segment);
    if (!opened) return opened.error();
    const std::string key = opened.value().key();
    const std::lock_guard lock(r.mutex);
    purge_expired(r);
    if (auto found = r.sites.find(key); found != r.sites.end())
        if (auto site = found->second.lock()) {
            // A site that lost its open at fork() holds no claims: this open
            // becomes its own. Otherwise the new open is closed again.
            if (!site->file_) {
                site->file_ = std::make_shared<ClaimFile>(std::move(opened).value());
                site->lost_ = 0;
            }
            return site;
        }
    auto site = std::make_shared<ClaimSite>(std::move(opened).value(), segment.name());
    r.sites[key] = site;
    return site;
}

Error ClaimSite::lost_error() const {
    return Error::os("the claims on '" + name_ + "' could not be opened again in this forked process: " +
                            std::strerror(lost_) + " (errno " + std::to_string(lost_) + ")",
                        lost_);
}

Result<std::shared_ptr<const ClaimFile>> ClaimSite::open_file() const {
    const std::lock_guard lock(ClaimRegistry::get().mutex);
    if (lost_ != 0) return lost_error();
    return std::shared_ptr<const ClaimFile>(file_);
}

Result<std::optional<Claim>> ClaimSite::claim(std::uint64_t slot, ClaimMode mode) {
    ClaimRegistry& r = ClaimRegistry::get();
    const std::lock_guard lock(r.mutex);
    const std::uint64_t generation = r.generation.load();
    if (auto it = counts_.find(slot); it != counts_.end()) {
        if (it->second.mode != mode)
            return Error::value("claim " + std::to_string(slot) + " of '" + name_ +
                                   "' is already held by this process in the other mode", Reason::busy);
        ++it->second.count;
        return std::optional<Claim>(Claim(shared_from_this(), slot, generation));
    }
    if (lost_ != 0) return lost_error();
    if (file_) {
        auto taken = file_->try_lock(slot, mode);
        if (!taken) return taken.error();
        if (!taken.value()) return std::optional<Claim>();
    }
    counts_.emplace(slot, Count{mode, 1});
    return std::optional<Claim>(Claim(shared_from_this(), slot, generation));
}

bool ClaimSite::held_here(std::uint64_t slot) const {
    const std::lock_guard lock(ClaimRegistry::get().mutex);
    return counts_.count(slot) != 0;
}

Result<bool> ClaimSite::held_elsewhere(std::uint64_t slot, ClaimMode mode) const {
    auto file = open_file();
    if (!file) return file.error();
    if (!file.value()) return false;  // a build without claims
    return file.value()->conflicts(slot, mode);
}

std::vector<long> ClaimSite::holders(std::uint64_t slot, bool others) const {
    auto file = open_file();
    if (!file || !file.value()) return {};
    std::vector<long> pids = file.value()->holders(slot);
    if (others) pids.erase(std::remove(pids.begin(), pids.end(), current_pid()), pids.end());
    return pids;
}

std::atomic<unsigned long>& ClaimSite::turn(std::uint64_t slot) {
    const std::lock_guard lock(ClaimRegistry::get().mutex);
    auto& word = turns_[slot];
    if (!word) word = std::make_unique<std::atomic<unsigned long>>(0);
    return *word;
}

std::atomic<int>& ClaimSite::loans(std::uint64_t slot) {
    const std::lock_guard lock(ClaimRegistry::get().mutex);
    auto& word = loans_[slot];
    if (!word) word = std::make_unique<std::atomic<int>>(0);
    return *word;
}

void Claim::release() noexcept {
    if (site_ == nullptr) return;
    ClaimRegistry& r = ClaimRegistry::get();
    {
        const std::lock_guard lock(r.mutex);
        // A claim made before a fork belongs to the parent: the child's copy
        // has nothing to give back.
        if (generation_ == r.generation.load()) {
            auto it = site_->counts_.find(slot_);
            if (it != site_->counts_.end() && --it->second.count == 0) {
                if (site_->file_) site_->file_->unlock(slot_);
                site_->counts_.erase(it);
            }
        }
    }
    site_.reset();  // may destroy the site, which closes its open: outside the mutex
}

Claim& Claim::operator=(Claim&& other) noexcept {
    if (this != &other) {
        release();
        site_ = std::move(other.site_);
        slot_ = other.slot_;
        generation_ = other.generation_;
    }
    return *this;
}

Claim::~Claim() { release(); }

Error claim_refused(const std::string& what, const std::string& role, const std::vector<long>& pids) {
    std::string msg = what + " already has " + role;
    if (!pids.empty()) {
        msg += pids.size() == 1 ? " (pid " : " (pids ";
        for (std::size_t i = 0; i < pids.size(); ++i) msg += (i ? ", " : "") + std::to_string(pids[i]);
        msg += ")";
    }
    return Error::os(std::move(msg), EAGAIN, Reason::busy);
}

}  // namespace velmora
