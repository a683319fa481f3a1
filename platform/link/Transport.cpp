#include "platform/link/Transport.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kestrel::link {

std::optional<std::filesystem::path> linkFolder(std::string* why) {
    auto fail = [why](std::string reason) -> std::optional<std::filesystem::path> {
        if (why != nullptr) {
            *why = std::move(reason);
        }
        return std::nullopt;
    };
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') {
        return fail("XDG_RUNTIME_DIR is not set to an absolute path");
    }
    std::filesystem::path folder = std::filesystem::path(runtime) / "dev.corvid.kestrel";
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail("cannot create " + folder.string() + ": " + std::strerror(errno));
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        return fail("cannot stat " + folder.string() + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        return fail(folder.string() + " is not a folder of this user");
    }
    if ((info.st_mode & 077U) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
        return fail("cannot make " + folder.string() + " private: " + std::strerror(errno));
    }
    return folder;
}

std::optional<PeerCredentials> peerCredentials(int fd) {
    struct ucred cred {};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred) {
        return std::nullopt;
    }
    return PeerCredentials{cred.uid, cred.pid};
}

bool sendMessage(int fd, const Message& message, std::span<const int> descriptors) {
    const std::vector<std::uint8_t> bytes = encodeMessage(message);
    iovec io{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int) * kMaxDescriptors)> control{};
    if (!descriptors.empty()) {
        if (descriptors.size() > kMaxDescriptors) {
            return false;
        }
        header.msg_control = control.data();
        header.msg_controllen = CMSG_SPACE(sizeof(int) * descriptors.size());
        cmsghdr* c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
        std::memcpy(CMSG_DATA(c), descriptors.data(), sizeof(int) * descriptors.size());
    }
    ssize_t sent = 0;
    do {
        sent = ::sendmsg(fd, &header, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(bytes.size());
}

Received receiveMessage(int fd) {
    Received out;
    std::array<std::uint8_t, kMaxMessageSize + 1> buffer{};
    iovec io{buffer.data(), buffer.size()};
    // Room for more descriptors than any message carries, so that extras are seen and closed.
    constexpr std::size_t kControlRoom = 8;
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int) * kControlRoom)> control{};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    header.msg_control = control.data();
    header.msg_controllen = control.size();
    ssize_t got = 0;
    do {
        got = ::recvmsg(fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        out.kind = (errno == EAGAIN || errno == EWOULDBLOCK) ? Received::Kind::wouldBlock
                                                             : Received::Kind::closed;
        return out;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int received = -1;
                std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                out.descriptors.emplace_back(received);
            }
        }
    }
    if (got == 0 && out.descriptors.empty()) {
        out.kind = Received::Kind::closed;  // SOCK_SEQPACKET: a zero-length read is the end
        return out;
    }
    if ((header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
        out.kind = Received::Kind::invalid;
        out.error = (header.msg_flags & MSG_CTRUNC) != 0 ? DecodeError::badDescriptors
                                                         : DecodeError::tooLong;
        out.descriptors.clear();
        return out;
    }
    Decoded decoded = decodeMessage(std::span(buffer.data(), static_cast<std::size_t>(got)),
                                    static_cast<std::uint32_t>(out.descriptors.size()));
    if (!decoded.ok()) {
        out.kind = Received::Kind::invalid;
        out.error = decoded.error;
        out.descriptors.clear();
        return out;
    }
    out.kind = Received::Kind::message;
    out.message = std::move(decoded.message);
    return out;
}

UniqueFd connectTo(const std::filesystem::path& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath.string();
    if (path.size() >= sizeof address.sun_path) {
        return UniqueFd();
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        return fd;
    }
    int rc = 0;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        return UniqueFd();
    }
    return fd;
}

SlotMemory::~SlotMemory() {
    if (base_ != nullptr) {
        ::munmap(base_, layout_.fileBytes());
    }
}

SlotMemory::SlotMemory(SlotMemory&& other) noexcept
    : layout_(other.layout_),
      fd_(std::move(other.fd_)),
      base_(std::exchange(other.base_, nullptr)) {}

SlotMemory& SlotMemory::operator=(SlotMemory&& other) noexcept {
    if (this != &other) {
        if (base_ != nullptr) {
            ::munmap(base_, layout_.fileBytes());
        }
        layout_ = other.layout_;
        fd_ = std::move(other.fd_);
        base_ = std::exchange(other.base_, nullptr);
    }
    return *this;
}

namespace {

std::uint8_t* mapFile(int fd, std::uint64_t bytes, bool writable) {
    const int protection = writable ? (PROT_READ | PROT_WRITE) : PROT_READ;
    void* mapped = ::mmap(nullptr, bytes, protection, MAP_SHARED, fd, 0);
    return mapped == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(mapped);
}

}  // namespace

std::optional<SlotMemory> SlotMemory::map(UniqueFd fd, const SlotLayout& layout, bool writable) {
    SlotMemory memory;
    memory.base_ = mapFile(fd.get(), layout.fileBytes(), writable);
    if (memory.base_ == nullptr) {
        return std::nullopt;
    }
    memory.layout_ = layout;
    memory.fd_ = std::move(fd);
    return memory;
}

std::optional<SlotMemory> SlotMemory::create(const SlotLayout& layout, bool writable) {
    if (!validLayout(layout)) {
        return std::nullopt;
    }
    UniqueFd fd(::memfd_create("kestrel-slots", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd || ::ftruncate(fd.get(), static_cast<off_t>(layout.fileBytes())) != 0 ||
        ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        return std::nullopt;
    }
    return map(std::move(fd), layout, writable);
}

std::optional<SlotMemory> SlotMemory::adopt(UniqueFd fd, const SlotLayout& layout, bool writable) {
    if (!fd || !validLayout(layout)) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) != layout.fileBytes()) {
        return std::nullopt;
    }
    const int seals = ::fcntl(fd.get(), F_GET_SEALS);
    if (seals < 0 || (seals & F_SEAL_SHRINK) == 0) {
        return std::nullopt;
    }
    return map(std::move(fd), layout, writable);
}

std::uint32_t slotStride(std::uint32_t width, std::uint32_t pixelFormat) {
    constexpr std::uint32_t kAlign = 64;
    const std::uint32_t rowBytes = pixelFormat == kI420 ? width : width * 4;
    return (rowBytes + kAlign - 1) / kAlign * kAlign;
}

}  // namespace kestrel::link
