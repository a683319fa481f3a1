#pragma once

// The camera link's plumbing: the per-user folder of provider sockets, SOCK_SEQPACKET messages
// with descriptors, and the sealed shared-memory files that carry frames.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/link/Wire.h"
#include "platform/runtime/UniqueFd.h"

namespace kestrel::link {

// The socket file name of the camera daemon's provider, inside the link folder.
inline constexpr std::string_view kCameraProviderSocket = "dev.corvid.kestrel.camera.sock";

// `$XDG_RUNTIME_DIR/dev.corvid.kestrel`, made with mode 0700 when missing. Refused (nothing, with
// the reason in `why`) when XDG_RUNTIME_DIR is unset or relative, or the folder is not a
// directory of this user, or others can open it (its mode is then narrowed to 0700 when it is
// ours).
std::optional<std::filesystem::path> linkFolder(std::string* why = nullptr);

// The user id at the other end of a Unix socket (SO_PEERCRED), and its process id.
struct PeerCredentials {
    std::uint32_t uid = 0;
    std::int32_t pid = 0;
};
std::optional<PeerCredentials> peerCredentials(int fd);

// Sends one message with its descriptors, without waiting and without SIGPIPE. False when the
// socket would block or is broken.
bool sendMessage(int fd, const Message& message, std::span<const int> descriptors = {});

struct Received {
    enum class Kind { message, wouldBlock, closed, invalid } kind = Kind::closed;
    Message message;
    std::vector<UniqueFd> descriptors;
    DecodeError error = DecodeError::none;
};
// Receives and decodes one message without waiting. Descriptors that arrive with a message that
// does not decode are closed at once.
Received receiveMessage(int fd);

// Connects to a provider socket; invalid when nobody listens there.
UniqueFd connectTo(const std::filesystem::path& socketPath);

// A shared-memory queue file mapped into this process.
class SlotMemory {
  public:
    SlotMemory() = default;
    ~SlotMemory();
    SlotMemory(SlotMemory&& other) noexcept;
    SlotMemory& operator=(SlotMemory&& other) noexcept;
    SlotMemory(const SlotMemory&) = delete;
    SlotMemory& operator=(const SlotMemory&) = delete;

    // A new sealed memfd of the layout's size (it can neither grow nor shrink), mapped here
    // writable or read-only.
    static std::optional<SlotMemory> create(const SlotLayout& layout, bool writable);
    // Maps a file that a peer sent. Refused unless its size is exactly the layout's and it is
    // sealed against shrinking (so the peer cannot cut the mapping from under us).
    static std::optional<SlotMemory> adopt(UniqueFd fd, const SlotLayout& layout, bool writable);

    const SlotLayout& layout() const { return layout_; }
    int fd() const { return fd_.get(); }
    std::uint8_t* slot(std::uint32_t index) const {
        return base_ + static_cast<std::size_t>(index) * layout_.slotBytes;
    }
    bool valid() const { return base_ != nullptr; }

  private:
    // Maps `fd`, already checked against `layout`, and takes it over.
    static std::optional<SlotMemory> map(UniqueFd fd, const SlotLayout& layout, bool writable);

    SlotLayout layout_;
    UniqueFd fd_;
    std::uint8_t* base_ = nullptr;
};

// Bytes per row for a frame of `width` in a slot (for 'y420', of its Y plane): rows start on
// 64-byte boundaries.
std::uint32_t slotStride(std::uint32_t width, std::uint32_t pixelFormat = kBGRA);

}  // namespace kestrel::link
