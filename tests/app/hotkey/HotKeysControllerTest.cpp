#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "app/hotkey/HotKeysController.h"
#include "tests/support/FakeHotKeyBackend.h"

namespace kestrel {
namespace {

using testing::FakeHotKeyBackend;
using Kind = HotKeyEvent::Kind;
constexpr auto kHandled = HotKeyEventStatus::handled;
constexpr auto kNotHandled = HotKeyEventStatus::notHandled;

class HotKeysControllerTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(backend->strayReleases, 0); }
    std::shared_ptr<FakeHotKeyBackend> backend = std::make_shared<FakeHotKeyBackend>();
    std::shared_ptr<HotKeysController> controller = std::make_shared<HotKeysController>(backend);
    int downs = 0;
    int ups = 0;
};

TEST_F(HotKeysControllerTest, SignatureIsHtKyBigEndian) {
    EXPECT_EQ(HotKeysController::kHotKeySignature,
              (std::uint32_t{'H'} << 24U) | (std::uint32_t{'t'} << 16U) |
                  (std::uint32_t{'K'} << 8U) | std::uint32_t{'y'});
}

TEST_F(HotKeysControllerTest, CreationRegistersOnceAndRoutesPressesToTheCurrentHandler) {
    auto hotKey = HotKey::create(controller, Key::a, modifier::kCommand | modifier::kShift);
    ASSERT_EQ(controller->idOf(*hotKey), 1U) << "the first id is 1";
    EXPECT_EQ(backend->grabs.at(1), KeyCombo(0, 0x300));

    controller->registerHotKey(hotKey);
    EXPECT_EQ(controller->boxCount(), 1U);
    EXPECT_EQ(backend->registrations, 1) << "registering twice grabs once";

    EXPECT_EQ(backend->deliver(1, Kind::pressed), kNotHandled) << "no handler yet";
    hotKey->keyDownHandler = [this] { ++downs; };
    EXPECT_EQ(backend->deliver(1, Kind::pressed), kHandled);
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(backend->deliver(1, Kind::released), kNotHandled) << "no key-up handler";
    hotKey->keyUpHandler = [this] { ++ups; };
    EXPECT_EQ(backend->deliver(1, Kind::released), kHandled);
    EXPECT_EQ(ups, 1);
    EXPECT_EQ(backend->deliver(1, Kind::other), kNotHandled);
    EXPECT_EQ(backend->deliver(1, Kind::pressed, 0x41424344), kNotHandled) << "foreign";
    EXPECT_EQ(backend->deliver(7, Kind::pressed), kNotHandled) << "unknown id";
    EXPECT_EQ(downs, 1);
}

TEST_F(HotKeysControllerTest, PauseUnregistersAndResumeTakesANewId) {
    auto hotKey = HotKey::create(controller, 0, 0x300, [this] { ++downs; });
    hotKey->setPaused(true);
    EXPECT_EQ(controller->boxCount(), 0U);
    EXPECT_TRUE(backend->grabs.empty());
    EXPECT_EQ(backend->deliver(1, Kind::pressed), kNotHandled);

    hotKey->setPaused(false);
    EXPECT_EQ(controller->idOf(*hotKey), 2U);
    EXPECT_EQ(backend->deliver(1, Kind::pressed), kNotHandled) << "the old id is unknown";
    EXPECT_EQ(backend->deliver(2, Kind::pressed), kHandled);
    EXPECT_EQ(downs, 1);

    auto second = HotKey::create(controller, Key::b, 0);
    EXPECT_EQ(controller->idOf(*second), 3U) << "ids only ever increase";
    EXPECT_EQ(backend->handlersInstalled, 1) << "the handler is installed once";
}

TEST_F(HotKeysControllerTest, DestroyingTheHotKeyReleasesItsGrab) {
    auto hotKey = HotKey::create(controller, Key::a, modifier::kCommand, [this] { ++downs; });
    hotKey.reset();
    EXPECT_EQ(controller->boxCount(), 0U);
    EXPECT_TRUE(backend->grabs.empty());
    EXPECT_EQ(backend->deliver(1, Kind::pressed), kNotHandled);
    EXPECT_EQ(downs, 0);
}

TEST_F(HotKeysControllerTest, RefusedCombinationKeepsItsBoxAndNeverFires) {
    backend->refuse = true;
    auto hotKey = HotKey::create(controller, Key::a, modifier::kCommand, [this] { ++downs; });
    EXPECT_EQ(controller->boxCount(), 1U);
    EXPECT_EQ(backend->handlersInstalled, 0) << "installed only after a successful grab";
    hotKey.reset();
    EXPECT_EQ(controller->boxCount(), 0U) << "nothing to release at the service";
}

TEST_F(HotKeysControllerTest, HandlerThatOutlivesTheControllerAnswersNotHandled) {
    auto hotKey = HotKey::create(controller, Key::a, 0, [this] { ++downs; });
    auto handler = backend->handler;
    hotKey.reset();
    controller.reset();
    EXPECT_EQ(handler(HotKeyEvent{HotKeysController::kHotKeySignature, 1, Kind::pressed}),
              kNotHandled);
}

}  // namespace
}  // namespace kestrel
