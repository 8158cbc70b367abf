// Win32 file mappings backed by the paging file. The leading '/' of a
// segment name is stripped before the ANSI calls; the system deletes a
// mapping object when its last handle and last view are gone, so there is
// nothing to remove by name.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/platform.hpp"
#include "platform/wait.hpp"
#include "platform/win32_text.hpp"

namespace velmora {
namespace win32 {
namespace {

// The text buffer FormatMessageW allocated on the process heap.
class SystemBuffer {
public:
    SystemBuffer() = default;
    SystemBuffer(const SystemBuffer&) = delete;
    SystemBuffer& operator=(const SystemBuffer&) = delete;
    ~SystemBuffer() { if (text_ != nullptr) ::HeapFree(::GetProcessHeap(), 0, text_); }
    wchar_t** out() noexcept { return &text_; }
    const wchar_t* get() const noexcept { return text_; }

private:
    wchar_t* text_ = nullptr;
};

// ntdll.dll held for the length of one NT status lookup.
class Library {
public:
    explicit Library(HMODULE module) noexcept : module_(module) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library() { if (module_ != nullptr) ::FreeLibrary(module_); }
    HMODULE get() const noexcept { return module_; }

private:
    HMODULE module_;
};

HMODULE load_ntdll() {
    return ::LoadLibraryExA("ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

// The system's text for a result code, empty when it has none.
std::u16string system_text(std::uint32_t code) {
    const MessageLookup lookup = message_lookup(code);
    const Library ntdll(lookup.from_ntdll ? load_ntdll() : nullptr);
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if (lookup.from_ntdll) flags |= FORMAT_MESSAGE_FROM_HMODULE;
    SystemBuffer buffer;
    const DWORD length = ::FormatMessageW(flags, ntdll.get(), lookup.id, 0,
                                          reinterpret_cast<LPWSTR>(buffer.out()), 0, nullptr);
    if (length == 0 || buffer.get() == nullptr) return {};
    return std::u16string(buffer.get(), buffer.get() + length);
}

}  // namespace

std::string system_message(std::uint32_t last_error) {
    const std::uint32_t code = result_code(last_error);
    return compose_message(system_text(code), code);
}

}  // namespace win32

namespace {

// Reads the last error first, before anything else can overwrite it.
Error last_os_error() {
    const DWORD error = ::GetLastError();
    return Error::os(win32::system_message(error), static_cast<int>(error), os_reason(static_cast<int>(error)));
}

bool is_valid(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

std::intptr_t to_stored(HANDLE handle) noexcept { return reinterpret_cast<std::intptr_t>(handle); }
HANDLE to_handle(std::intptr_t stored) noexcept { return reinterpret_cast<HANDLE>(stored); }

}  // namespace

Mapping::~Mapping() {
    if (base_ != nullptr && owned_) ::UnmapViewOfFile(base_);
}

// `replace` has nothing to remove here: a mapping object has no name left
// behind once its last handle is gone, and a claims file left by a process
// that died holds no locks.
Result<PlatformHandle> PlatformHandle::create(std::string_view name, std::uint64_t size, bool replace) {
    (void)replace;
    auto os_name = strip_name(name);
    if (!os_name) return os_name.error();
    // An existing object of that name is attached to, not refused; the size
    // recorded is the one asked for.
    const HANDLE handle = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                               static_cast<DWORD>(size >> 32),
                                               static_cast<DWORD>(size & 0xFFFFFFFFu),
                                               os_name.value().c_str());
    if (!is_valid(handle)) return last_os_error();
    return PlatformHandle(std::string(name), to_stored(handle), size);
}

bool PlatformHandle::size_known() noexcept { return false; }

// A descriptor cannot be handed to another process here the way it is on
// Unix, and the claims need a name: anonymous segments are refused.
Result<PlatformHandle> PlatformHandle::create_anonymous(std::uint64_t) {
    return Error::os("anonymous segments are not supported on Windows", ENOTSUP, Reason::invalid_argument);
}

Result<PlatformHandle> PlatformHandle::open_descriptor(std::intptr_t, std::optional<std::uint64_t>) {
    return Error::os("anonymous segments are not supported on Windows", ENOTSUP, Reason::invalid_argument);
}

Result<PlatformHandle> PlatformHandle::duplicate() const {
    HANDLE copy = nullptr;
    const HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, to_handle(handle_), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return last_os_error();
    return PlatformHandle(name_, to_stored(copy), size_, anonymous_);
}

Result<PlatformHandle> PlatformHandle::open(std::string_view name, std::optional<std::uint64_t> size) {
    // Win32 cannot tell a mapping object's size, so the caller must.
    if (!size) return Error::value("size is required on Windows (Win32 does not expose segment size)");
    auto os_name = strip_name(name);
    if (!os_name) return os_name.error();
    const HANDLE handle = ::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, os_name.value().c_str());
    if (!is_valid(handle)) return last_os_error();
    return PlatformHandle(std::string(name), to_stored(handle), *size);
}

// The kernel deletes the object with its last handle: only the name is checked.
Status PlatformHandle::remove(std::string_view name) { return validate_name(name); }

Result<Mapping> PlatformHandle::map() const {
    // A size larger than the object is refused by the system; 0 maps it whole.
    void* base = ::MapViewOfFile(to_handle(handle_), FILE_MAP_ALL_ACCESS, 0, 0, static_cast<SIZE_T>(size_));
    if (base == nullptr) return last_os_error();
    return Mapping(base, size_);
}

// ---- claims ------------------------------------------------------------------------
// A mapping object has no file to lock, so each segment name gets a small
// file of its own in the temporary directory, shared by every process that
// uses the segment, and claims are LockFileEx byte-range locks on it: they
// belong to one handle (one open) and the system releases them when the
// handle closes or its process dies. The file is left in place (a few
// bytes' worth of directory entry) so that later opens find the same file.
// The system cannot name a lock's owner, so holders() is always empty. A
// handle's own lock conflicts with a probe through that handle, so
// conflicts() on a slot this open holds says true: "anyone else attached"
// can never be told apart from "this process", and a dead view holder's lock
// is never recovered by itself here.

namespace {

// The segment name as a file name: [a-z0-9.-] kept, every other byte as
// "_XX", so names the system tells apart (case included) stay apart.
std::string claims_file_name(const std::string& segment_name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out = "velmora-claims-";
    for (unsigned char c : segment_name) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '_';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

OVERLAPPED at_slot(std::uint64_t slot) noexcept {
    OVERLAPPED ov{};
    const std::uint64_t offset = kClaimBase + slot;
    ov.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return ov;
}

}  // namespace

bool ClaimFile::supported() noexcept { return true; }

Result<ClaimFile> ClaimFile::open(const PlatformHandle& segment) {
    auto os_name = strip_name(segment.name());
    if (!os_name) return os_name.error();
    char dir[MAX_PATH + 1];
    const DWORD n = ::GetTempPathA(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH) return last_os_error();
    const std::string path = std::string(dir, n) + claims_file_name(os_name.value());
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (!is_valid(file)) return last_os_error();
    return ClaimFile(to_stored(file), path, segment.name());
}

namespace {

// One attempt: true taken, false held through another open.
Result<bool> lock_once(HANDLE file, std::uint64_t slot, ClaimMode mode) {
    OVERLAPPED ov = at_slot(slot);
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY;
    if (mode == ClaimMode::Exclusive) flags |= LOCKFILE_EXCLUSIVE_LOCK;
    if (::LockFileEx(file, flags, 0, 1, 0, &ov)) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return false;
    return Error::os(win32::system_message(error), static_cast<int>(error), os_reason(static_cast<int>(error)));
}

// A probe (conflicts()) holds its lock for a moment, since Windows has no
// test without taking; a claim refused then is tried again a few times over
// a few milliseconds before the refusal stands.
constexpr int kClaimTries = 4;
constexpr std::uint64_t kClaimRetryNs = 1'000'000;

}  // namespace

Result<bool> ClaimFile::try_lock(std::uint64_t slot, ClaimMode mode) const {
    for (int tries = 1;; ++tries) {
        auto taken = lock_once(to_handle(handle_), slot, mode);
        if (!taken || taken.value() || tries == kClaimTries) return taken;
        sleep_ns(kClaimRetryNs);
    }
}

void ClaimFile::unlock(std::uint64_t slot) const noexcept {
    OVERLAPPED ov = at_slot(slot);
    ::UnlockFileEx(to_handle(handle_), 0, 1, 0, &ov);
}

Result<bool> ClaimFile::conflicts(std::uint64_t slot, ClaimMode mode) const {
    auto taken = lock_once(to_handle(handle_), slot, mode);
    if (!taken) return taken.error();
    if (taken.value()) unlock(slot);
    return !taken.value();
}

std::vector<long> ClaimFile::holders(std::uint64_t) const { return {}; }
int ClaimFile::renew_after_fork() noexcept { return ENOTSUP; }  // no fork() here

ClaimFile::ClaimFile(ClaimFile&& other) noexcept
    : handle_(other.handle_), key_(std::move(other.key_)), name_(std::move(other.name_)) {
    other.handle_ = -1;
}

ClaimFile::~ClaimFile() {
    if (handle_ != -1) ::CloseHandle(to_handle(handle_));
}

void at_fork(void (*)(), void (*)(), void (*)()) noexcept {}

long current_pid() noexcept { return static_cast<long>(::GetCurrentProcessId()); }

PlatformHandle::PlatformHandle(PlatformHandle&& other) noexcept
    : name_(std::move(other.name_)), handle_(other.handle_), size_(other.size_), anonymous_(other.anonymous_) {
    other.handle_ = kNoHandle;
}

PlatformHandle::~PlatformHandle() {
    if (handle_ != kNoHandle) ::CloseHandle(to_handle(handle_));
}

// ---- waiting ----------------------------------------------------------------------

std::uint64_t monotonic_ns() noexcept {
    LARGE_INTEGER count, freq;
    ::QueryPerformanceCounter(&count);
    ::QueryPerformanceFrequency(&freq);
    const auto c = static_cast<std::uint64_t>(count.QuadPart), f = static_cast<std::uint64_t>(freq.QuadPart);
    return c / f * 1'000'000'000u + c % f * 1'000'000'000u / f;
}

void yield_processor() noexcept { ::SwitchToThread(); }

// Sleep() counts whole milliseconds; round up so a short sleep still sleeps.
void sleep_ns(std::uint64_t ns) noexcept {
    const std::uint64_t ms = (ns + 999'999u) / 1'000'000u;
    ::Sleep(static_cast<DWORD>(ms > 0xFFFF'FFF0u ? 0xFFFF'FFF0u : ms));
}

// WaitOnAddress works within one process only, so shared words are polled
// with bounded sleeps.
void wait_on_word(const std::uint32_t*, std::uint32_t, std::uint64_t timeout_ns) noexcept { sleep_ns(timeout_ns); }

void wake_word(const std::uint32_t*) noexcept {}

std::uint64_t fork_generation() noexcept { return 0; }

}  // namespace velmora

namespace velmora {

void at_fork_child(void (*)()) noexcept {}
void keep_freed_heap() noexcept {}

Reason os_reason(int code) noexcept {
    switch (code) {
        case 2:            // ERROR_FILE_NOT_FOUND
        case 3: return Reason::not_found;  // ERROR_PATH_NOT_FOUND
        case 183: return Reason::exists;   // ERROR_ALREADY_EXISTS
        case 123:          // ERROR_INVALID_NAME
        case 206: return Reason::name;     // ERROR_FILENAME_EXCED_RANGE
        default: return Reason::os;
    }
}

}  // namespace velmora
