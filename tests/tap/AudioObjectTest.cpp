#include <gtest/gtest.h>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "tap/AudioObject.hpp"
#include "tap/AudioSystem.hpp"

namespace sonvel {
namespace {

using Sim = sim::SimulatedAudioSystem;
using Call = Sim::Call;
namespace sel = hal::selector;

// Printable codes read as text are AudioObjectTest.FailuresNameTheReadAndTheStatus's,
// and Float32 linear PCM accepted is every engine's.
TEST(OSStatusFormatterTest, CodesAndNumbers) {
    EXPECT_EQ(selectorName(0x736C6100), "1936482560");
    EXPECT_EQ(OSStatusFormatter::fourCharacterCode(0x7F414141), std::nullopt);  // DEL, unprintable
    EXPECT_FALSE(PCMFormat::isFloat32LinearPCM(fourCC("lpcm"), 8, 32));
    EXPECT_FALSE(PCMFormat::isFloat32LinearPCM(fourCC("lpcm"), 9, 16));
    EXPECT_FALSE(PCMFormat::isFloat32LinearPCM(fourCC("aac "), 9, 32));
}

class AudioObjectTest : public ::testing::Test {
  protected:
    // The sentence a failed read gives.
    static std::string why(const auto& read) { return read ? "read" : read.error().description(); }

    Sim hal;
    AudioObjectID speakers = hal.addDevice({.uid = "spk", .name = "Speakers", .hogModeOwner = 321});
    AudioObjectID usb = hal.addDevice({.uid = "usb", .outputStreams = {2, 1}, .inputStreams = {1}});
    AudioObjectID music = hal.addProcess({.pid = 501, .bundleID = "com.music", .playing = true});
    AudioObjectID daemon = hal.addProcess({.pid = 90});
};

TEST_F(AudioObjectTest, FailuresNameTheReadAndTheStatus) {
    EXPECT_EQ(why(AudioObject::readValue<double>(hal, 9999, sel::nominalSampleRate)),
              "Get 'nsrt' on object 9999 failed: '!obj' (560947818)");
    EXPECT_EQ(why(AudioObject::readBool(hal, music, sel::isHidden)),
              "Get 'hidn' on object " + std::to_string(music) + " failed: 'who?' (2003332927)");
    const auto layout = [&] {
        return why(AudioObject::readBufferChannelCounts(hal, usb, sel::streamConfiguration,
                                                        hal::outputScope));
    };
    const std::string slay = "'slay' on object " + std::to_string(usb) + " failed: ";
    hal.inject({.call = Call::getPropertyDataSize, .status = -50, .object = usb});
    EXPECT_EQ(layout(), "Get size of " + slay + "-50");
    hal.inject({.call = Call::getPropertyData, .status = hal::notRunningError, .object = usb});
    EXPECT_EQ(layout(), "Get " + slay + "'stop' (1937010544)");
}

TEST_F(AudioObjectTest, EmptyListMakesNoDataCallAndShortReadsKeepWhatCame) {
    Sim empty;
    empty.inject({.call = Call::getPropertyData});  // a data call would fail
    EXPECT_TRUE(AudioSystem::processSnapshots(empty).value().empty());
    // An absent string and a layout without buffers read as nothing, not as failures.
    EXPECT_EQ(AudioObject::readString(hal, daemon, sel::processBundleID).value(), std::nullopt);
    EXPECT_EQ(AudioSystem::inputChannelCount(hal, speakers), 0);
    // A list cut short keeps what came; a single value cut short is a
    // failure, never half a number.
    hal.inject({.persistent = true, .effect = Sim::Effect::shortRead, .readBytes = 4});
    EXPECT_EQ(AudioObject::readObjectIDs(hal, hal::systemObject, sel::processObjectList),
              std::vector<AudioObjectID>{music});
    EXPECT_EQ(AudioObject::readValue<double>(hal, speakers, sel::nominalSampleRate).error().status,
              hal::badPropertySizeError);
}

// The typed reads are checked through the answers that rest on them; a
// layout of several buffers, read in order, is GainTapEngineTest's setup.
TEST_F(AudioObjectTest, AudioSystemQueries) {
    const auto hidden = hal.addDevice({.uid = "hid", .name = "Hidden", .hidden = true});
    const auto uidless = hal.addDevice({.uid = "uidless", .name = "No UID"});
    hal.inject({.object = uidless, .selector = sel::deviceUID, .persistent = true});
    // The device without a readable UID is skipped; one without a name goes by its UID.
    const std::vector<DeviceFacts> facts = AudioSystem::deviceFacts(hal);
    EXPECT_EQ(facts, (std::vector<DeviceFacts>{{speakers, "spk", "Speakers", 2, false, 321},
                                               {usb, "usb", "usb", 3, false, std::nullopt},
                                               {hidden, "hid", "Hidden", 2, true, std::nullopt}}));
    EXPECT_EQ(AudioSystem::inputChannelCount(hal, usb), 1);
    EXPECT_EQ(AudioSystem::processObject(hal, 501).value(), music);
    EXPECT_EQ(AudioSystem::processObject(hal, 12345).value(), std::nullopt);
    EXPECT_EQ(AudioSystem::outputDevices(hal, music), std::vector<AudioObjectID>{speakers});
    EXPECT_EQ(AudioSystem::device(hal, "usb"), (OutputDeviceInfo{usb, "usb", {}, 48000}));
    EXPECT_EQ(AudioSystem::defaultOutputDevice(hal).value(),
              (OutputDeviceInfo{speakers, "spk", "Speakers", 48000}));
    const auto named = [](ProcessID pid) { return std::optional(std::to_string(pid)); };
    EXPECT_EQ(AudioSystem::processSnapshots(hal, named).value(),
              (std::vector<AudioProcessSnapshot>{{music, 501, "com.music", "501", true, false},
                                                 {daemon, 90, std::nullopt, "90", false, false}}));

    hal.inject({.status = -50, .selector = sel::translatePIDToProcessObject});
    EXPECT_EQ(why(AudioSystem::processObject(hal, 501)),
              "Translate PID 501 to process object failed: -50");
    hal.inject({.selector = sel::defaultOutputDevice});
    EXPECT_FALSE(AudioSystem::defaultOutputDevice(hal));
    hal.inject({.selector = sel::devices});
    EXPECT_TRUE(AudioSystem::deviceFacts(hal).empty());
}

}  // namespace
}  // namespace sonvel
