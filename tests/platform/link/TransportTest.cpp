#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/link/Transport.h"
#include "tests/support/TempFolder.h"

namespace kestrel::link {
namespace {

// A fresh folder as XDG_RUNTIME_DIR while it lives; these tests run no other thread.
class ScopedRuntimeDir : public testing::TempFolder {
  public:
    ScopedRuntimeDir() {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) {
            previous_ = old;
        }
        ::setenv("XDG_RUNTIME_DIR", path().c_str(), 1);
    }
    ~ScopedRuntimeDir() {
        if (previous_) {
            ::setenv("XDG_RUNTIME_DIR", previous_->c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }

  private:
    std::optional<std::string> previous_;
};

mode_t modeOf(const std::filesystem::path& p) {
    struct stat info {};
    ::stat(p.c_str(), &info);
    return info.st_mode & 0777;
}

TEST(LinkFolder, IsMadePrivateAndKeptPrivate) {
    ScopedRuntimeDir runtime;
    std::string why;
    const auto folder = linkFolder(&why);
    ASSERT_TRUE(folder.has_value()) << why;
    EXPECT_EQ(*folder, runtime.path() / "dev.corvid.kestrel");
    EXPECT_EQ(modeOf(*folder), 0700U);
    ASSERT_EQ(::chmod(folder->c_str(), 0755), 0);
    ASSERT_TRUE(linkFolder(&why).has_value());
    EXPECT_EQ(modeOf(*folder), 0700U);  // narrowed again
}

TEST(LinkFolder, RefusesWhatIsNotAFolderOrNoRuntimeDir) {
    ScopedRuntimeDir runtime;
    {
        const auto file = runtime.path() / "dev.corvid.kestrel";
        ASSERT_EQ(::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
        std::string why;
        EXPECT_FALSE(linkFolder(&why).has_value());
        EXPECT_NE(why.find("not a folder"), std::string::npos) << why;
        std::filesystem::remove(file);
    }
    ::setenv("XDG_RUNTIME_DIR", "relative/path", 1);
    EXPECT_FALSE(linkFolder().has_value());
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_FALSE(linkFolder().has_value());
}

TEST(SlotMemory, CreatedFilesAreSealedAndAdoptable) {
    const SlotLayout layout{2, 4096};
    auto made = SlotMemory::create(layout, true);
    ASSERT_TRUE(made.has_value());
    made->slot(1)[10] = 42;
    const int sizeSeals = F_SEAL_SHRINK | F_SEAL_GROW;
    EXPECT_EQ(::fcntl(made->fd(), F_GET_SEALS) & sizeSeals, sizeSeals);
    EXPECT_NE(::ftruncate(made->fd(), 0), 0);  // a peer cannot cut it

    auto adopted = SlotMemory::adopt(UniqueFd(::dup(made->fd())), layout, false);
    ASSERT_TRUE(adopted.has_value());
    EXPECT_EQ(adopted->slot(1)[10], 42);
    // The wrong size is refused.
    EXPECT_FALSE(SlotMemory::adopt(UniqueFd(::dup(made->fd())), SlotLayout{3, 4096}, false));
}

TEST(SlotMemory, UnsealedOrOddFilesAreRefused) {
    UniqueFd unsealed(::memfd_create("unsealed", MFD_CLOEXEC));
    ASSERT_EQ(::ftruncate(unsealed.get(), 8192), 0);
    EXPECT_FALSE(SlotMemory::adopt(std::move(unsealed), SlotLayout{2, 4096}, false));
    EXPECT_FALSE(SlotMemory::adopt(UniqueFd(), SlotLayout{2, 4096}, false));
    EXPECT_FALSE(SlotMemory::create(SlotLayout{0, 4096}, true));
    EXPECT_FALSE(SlotMemory::create(SlotLayout{2, 100}, true));
    EXPECT_FALSE(SlotMemory::create(SlotLayout{kMaxSlots + 1, 4096}, true));
}

TEST(Transport, MessagesAndDescriptorsCrossASocketPair) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd a(pair[0]);
    UniqueFd b(pair[1]);
    auto memory = SlotMemory::create(SlotLayout{1, 4096}, true);
    ASSERT_TRUE(memory);
    const int fd = memory->fd();
    ASSERT_TRUE(
        sendMessage(a.get(), Message{5, QueueReply{status::ok, 1, 4096}}, std::span(&fd, 1)));
    Received got = receiveMessage(b.get());
    ASSERT_EQ(got.kind, Received::Kind::message);
    EXPECT_EQ(got.message.requestId, 5U);
    ASSERT_EQ(got.descriptors.size(), 1U);
    EXPECT_TRUE(SlotMemory::adopt(std::move(got.descriptors[0]), SlotLayout{1, 4096}, false));

    // A descriptor where none belongs: the message is invalid and the descriptor is closed.
    ASSERT_TRUE(
        sendMessage(a.get(), Message{6, GetProperty{1, property::devices}}, std::span(&fd, 1)));
    got = receiveMessage(b.get());
    EXPECT_EQ(got.kind, Received::Kind::invalid);
    EXPECT_EQ(got.error, DecodeError::badDescriptors);
    EXPECT_TRUE(got.descriptors.empty());

    EXPECT_EQ(receiveMessage(b.get()).kind, Received::Kind::wouldBlock);
    a.reset();
    EXPECT_EQ(receiveMessage(b.get()).kind, Received::Kind::closed);

    const auto credentials = peerCredentials(b.get());
    ASSERT_TRUE(credentials.has_value());
    EXPECT_EQ(credentials->uid, ::getuid());
}

}  // namespace
}  // namespace kestrel::link
