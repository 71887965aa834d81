#include <gtest/gtest.h>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "tap/AudioObject.hpp"
#include "tap/AudioSystem.hpp"

namespace sonvel {
namespace {

using sim::SimulatedAudioSystem;
using Call = SimulatedAudioSystem::Call;
namespace sel = hal::selector;

// Printable codes read as text are AudioObjectTest.FailuresNameTheReadAndTheStatus's.
TEST(OSStatusFormatterTest, CodesAndNumbers) {
    EXPECT_EQ(OSStatusFormatter::describe(0), "0");
    EXPECT_EQ(selectorName(0x736C6100), "1936482560");
    EXPECT_EQ(OSStatusFormatter::fourCharacterCode(0x7F414141),
              std::nullopt);  // DEL is not printable
    EXPECT_TRUE(PCMFormat::isFloat32LinearPCM(fourCC("lpcm"), 9, 32));
    EXPECT_FALSE(PCMFormat::isFloat32LinearPCM(fourCC("lpcm"), 8, 32));
    EXPECT_FALSE(PCMFormat::isFloat32LinearPCM(fourCC("lpcm"), 9, 16));
    EXPECT_FALSE(PCMFormat::isFloat32LinearPCM(fourCC("aac "), 9, 32));
}

class AudioObjectTest : public ::testing::Test {
  protected:
    AudioObjectTest() {
        speakers = hal.addDevice({.uid = "spk", .name = "Speakers", .outputStreams = {2}});
        headset = hal.addDevice({.uid = "hs",
                                 .name = "Headset",
                                 .outputStreams = {2, 1},
                                 .inputStreams = {1},
                                 .hogModeOwner = 321});
        music = hal.addProcess({.pid = 501, .bundleID = "com.apple.Music", .playing = true});
        daemon = hal.addProcess({.pid = 90});
    }

    // The sentence a failed read gives.
    static std::string why(const auto& read) { return read ? "read" : read.error().description(); }

    SimulatedAudioSystem hal;
    AudioObjectID speakers, headset, music, daemon;
};

TEST_F(AudioObjectTest, FailuresNameTheReadAndTheStatus) {
    EXPECT_EQ(why(AudioObject::readValue<double>(hal, 9999, sel::nominalSampleRate)),
              "Get 'nsrt' on object 9999 failed: '!obj' (560947818)");
    EXPECT_EQ(why(AudioObject::readBool(hal, music, sel::isHidden)),
              "Get 'hidn' on object " + std::to_string(music) + " failed: 'who?' (2003332927)");
    const auto layout = [&] {
        return why(AudioObject::readBufferChannelCounts(hal, headset, sel::streamConfiguration,
                                                        hal::outputScope));
    };
    const std::string slay = "'slay' on object " + std::to_string(headset) + " failed: ";
    hal.inject({.call = Call::getPropertyDataSize, .status = -50, .object = headset});
    EXPECT_EQ(layout(), "Get size of " + slay + "-50");
    hal.inject({.call = Call::getPropertyData, .status = hal::notRunningError, .object = headset});
    EXPECT_EQ(layout(), "Get " + slay + "'stop' (1937010544)");
}

TEST_F(AudioObjectTest, EmptyListMakesNoDataCallAndShortReadsKeepWhatCame) {
    SimulatedAudioSystem empty;
    int dataCalls = 0;
    empty.setCallHook([&](Call call) { dataCalls += call == Call::getPropertyData; });
    EXPECT_EQ(AudioObject::readObjectIDs(empty, hal::systemObject, sel::processObjectList),
              std::vector<AudioObjectID>{});
    EXPECT_EQ(dataCalls, 0);
    // An absent string and a layout without buffers read as nothing, not as failures.
    EXPECT_EQ(AudioObject::readString(hal, daemon, sel::processBundleID).value(), std::nullopt);
    EXPECT_EQ(AudioObject::readBufferChannelCounts(hal, speakers, sel::streamConfiguration,
                                                   hal::inputScope),
              std::vector<long>{});

    // The daemon exits between the size query and the read.
    hal.setCallHook([&](Call call) {
        if (call == Call::getPropertyData) {
            hal.setCallHook({});
            hal.removeProcess(daemon);
        }
    });
    EXPECT_EQ(AudioObject::readObjectIDs(hal, hal::systemObject, sel::processObjectList),
              std::vector<AudioObjectID>{music});

    // A single value cut short is a failure, never half a number.
    hal.inject({.call = Call::getPropertyData,
                .selector = sel::nominalSampleRate,
                .effect = SimulatedAudioSystem::Effect::shortRead,
                .readBytes = 4});
    EXPECT_EQ(AudioObject::readValue<double>(hal, speakers, sel::nominalSampleRate).error().status,
              hal::badPropertySizeError);
}

// The typed reads are checked through the answers that rest on them; a
// layout of several buffers, read in order, is GainTapEngineTest's setup.
TEST_F(AudioObjectTest, AudioSystemQueries) {
    const auto hidden = hal.addDevice({.uid = "hid", .name = "Hidden", .hidden = true});
    const auto nameless = hal.addDevice({.uid = "nameless", .name = ""});
    const auto uidless = hal.addDevice({.uid = "uidless", .name = "No UID"});
    for (const auto& [call, object, selector] :
         {std::tuple{Call::getPropertyData, nameless, sel::name},
          {Call::getPropertyDataSize, nameless, sel::name},
          {Call::getPropertyDataSize, uidless, sel::deviceUID}}) {
        hal.inject({.call = call,
                    .status = hal::unknownPropertyError,
                    .object = object,
                    .selector = selector,
                    .persistent = true});
    }

    const std::vector<DeviceFacts> facts = AudioSystem::deviceFacts(hal);
    ASSERT_EQ(facts.size(), 4u);  // the device without a readable UID is skipped
    EXPECT_EQ(facts[0], (DeviceFacts{speakers, "spk", "Speakers", 2, false, std::nullopt}));
    EXPECT_EQ(facts[1], (DeviceFacts{headset, "hs", "Headset", 3, false, 321}));
    EXPECT_EQ(facts[2], (DeviceFacts{hidden, "hid", "Hidden", 2, true, std::nullopt}));
    EXPECT_EQ(facts[3].name, "nameless");  // falls back to the UID

    EXPECT_EQ(AudioSystem::hogModeOwner(hal, speakers), std::nullopt);  // -1 reads as nobody
    EXPECT_EQ(AudioSystem::inputChannelCount(hal, headset), 1);
    EXPECT_EQ(AudioSystem::processObject(hal, 501).value(), music);
    EXPECT_EQ(AudioSystem::processObject(hal, 12345).value(), std::nullopt);
    EXPECT_EQ(AudioSystem::outputDevices(hal, music), std::vector<AudioObjectID>{speakers});
    EXPECT_EQ(AudioSystem::device(hal, "hs"), (OutputDeviceInfo{headset, "hs", "Headset", 48000}));
    EXPECT_EQ(AudioSystem::defaultOutputDevice(hal).value(),
              (OutputDeviceInfo{speakers, "spk", "Speakers", 48000}));

    const auto snapshots = AudioSystem::processSnapshots(hal, [](ProcessID pid) {
        return pid == 501 ? std::optional<std::string>("Music") : std::nullopt;
    });
    ASSERT_TRUE(snapshots);
    EXPECT_EQ((*snapshots)[0],
              (AudioProcessSnapshot{music, 501, "com.apple.Music", "Music", true, false}));
    EXPECT_EQ((*snapshots)[1],
              (AudioProcessSnapshot{daemon, 90, std::nullopt, std::nullopt, false, false}));

    hal.inject({.call = Call::getPropertyData,
                .status = -50,
                .selector = sel::translatePIDToProcessObject});
    EXPECT_EQ(why(AudioSystem::processObject(hal, 501)),
              "Translate PID 501 to process object failed: -50");

    hal.inject(
        {.call = Call::getPropertyData, .status = -50, .selector = sel::defaultOutputDevice});
    EXPECT_FALSE(AudioSystem::defaultOutputDevice(hal));
    hal.inject({.call = Call::getPropertyDataSize, .status = -50, .selector = sel::devices});
    EXPECT_TRUE(AudioSystem::deviceFacts(hal).empty());
}

}  // namespace
}  // namespace sonvel
