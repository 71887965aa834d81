// sonvelctl as a separate process against the service on a private bus, over
// the real model and the simulated audio system.

#include <QDBusMessage>

#include <sys/stat.h>

#include "platform/qt/QtPreferencesStore.hpp"
#include "tests/bus/BusFixture.hpp"

namespace sonvel::bustest {
namespace {

using namespace std::chrono_literals;
using cc = ControlCommands::ExitCode;

// The simulator's floor for a tone that is not there.
constexpr double silentDb = -90.0;

constexpr const char* key = MixerModel::preferencesKey;

TEST_F(BusTest, HalfIsHeardAtAQuarterAndMuteSilences) {
    storeValidSetup();
    startSonvel();
    EXPECT_EQ(ctl({"set", "music", "50%"}), (CtlRun{0, "music: 50%\n", ""}));
    EXPECT_NEAR(heard(440), testsupport::halfSliderDB, 0.1);
    EXPECT_NEAR(heard(660), 0.0, 0.1);

    EXPECT_EQ(ctl({"set", "com.apple.Music", "-10%"}).out, "com.apple.Music: 40%\n");
    EXPECT_EQ(ctl({"mute", "Music"}), (CtlRun{0, "Music: muted\n", ""}));
    run(100ms);  // past the fade to silence
    EXPECT_LT(heard(440), silentDb);
    EXPECT_EQ(ctl({"toggle", "Music"}).out, "Music: unmuted\n");
    EXPECT_EQ(ctl({"list"}).out,
              "Music      40% playing  [com.apple.Music]\n"
              "Podcasts  100% playing  [com.example.podcasts]\n");
}

TEST_F(BusTest, EveryErrorHasItsCodeAndLeavesThePreferencesUntouched) {
    storeValidSetup();
    startSonvel();
    run(1s);
    const auto before = store->values;
    const int writes = store->writes;
    const std::tuple<QStringList, cc, std::string> cases[]{
        {{"set", "Music", "120%"}, cc::badArgument, "out of range"},
        {{"set", "Music", "nan"}, cc::badArgument, "is not a level"},
        {{"set", "", "40%"}, cc::badArgument, "empty"},
        {{"mute", "Mu\x01sic"}, cc::badArgument, "control characters"},
        {{"mute", QString(4000, 'a')}, cc::badArgument, "too long"},
        {{"mute", "Radio"}, cc::noSuchApp, "'Music' (com.apple.Music)"},
        {{"route", "Music", "Nowhere"}, cc::noSuchOutput, "Outputs: 'Speakers'"},
        {{"route", "Music", "Speakers"}, cc::noSuchOutput, "cannot be routed now"},
        {{"louder", "Music"}, cc::badArgument, "is not a command"},
        {{"status", "--jsn"}, cc::badArgument, "Unknown option --jsn "},
    };
    for (const auto& [args, exit, says] : cases) {
        const CtlRun r = ctl(args);
        EXPECT_EQ(r.code, int(exit)) << args.join(' ').left(40).toStdString() << ": " << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    run(1s);
    EXPECT_EQ(store->values, before);
    EXPECT_EQ(store->writes, writes);
}

TEST_F(BusTest, BeforeTheGateIsReadyChangesAreRefusedWithItsTitle) {
    const CtlRun absent = ctl({"list"});  // before Sonvel is on the bus
    EXPECT_EQ(absent.code, int(cc::notRunning));
    EXPECT_NE(absent.err.find("Sonvel is not running"), std::string::npos) << absent.err;
    startSonvel();  // no setup done: the gate waits for the access check
    const ControlGate gate = model->gate();
    ASSERT_FALSE(gate.isReady());
    const std::string refused = "sonvelctl: " + gate.title() + ". " + gate.detail() + "\n";
    for (const QStringList& change :
         {QStringList{"set", "Music", "50%"}, {"mute", "Music"}, {"pause"}})
        EXPECT_EQ(ctl(change), (CtlRun{int(cc::controlsUnavailable), "", refused}))
            << change.join(' ').toStdString();
    EXPECT_EQ(ctl({"status"}).out, gate.title() + "\n" + gate.detail() + "\n");
    EXPECT_FALSE(store->values.contains(MixerModel::preferencesKey) &&
                 stored().apps.contains("com.apple.Music"));
}

TEST_F(BusTest, RouteMovesTheApplicationAndAChangeNotHeardNowIsAnsweredAsStored) {
    storeValidSetup();
    startSonvel();
    const AudioObjectID usb = hal->addDevice({.uid = "usb", .name = "USB DAC"});
    run(200ms);
    // Heard at once: nothing to say.
    EXPECT_EQ(ctl({"route", "Music", "usb dac"}), (CtlRun{0, "", ""}));
    EXPECT_EQ(stored().apps.at("com.apple.Music").outputDeviceUID, "usb");
    run(200ms);  // past the hand-over to the new output
    hal->clearSpeaker(usb);
    EXPECT_LT(heard(440), silentDb);
    EXPECT_NEAR(testsupport::toneDB(hal->speaker(usb), 440), 0.0, 0.1);
    EXPECT_EQ(ctl({"route", "Music", "DEFAULT"}), (CtlRun{0, "", ""}));
    EXPECT_NEAR(heard(440), 0.0, 0.1);

    const std::string elsewhere =
        " (stored; not in effect now: Plays to a different output device, not controllable.)\n";
    hal->setOutputDevices(music, {"usb"});
    run(200ms);
    EXPECT_EQ(ctl({"set", "Music", "40%"}), (CtlRun{0, "Music: 40%" + elsewhere, ""}));
    EXPECT_EQ(ctl({"mute", "Music"}), (CtlRun{0, "Music: muted" + elsewhere, ""}));
    hal->removeProcess(music);
    run(200ms);
    const std::string whenItPlays = " (stored for when it plays)\n";
    EXPECT_EQ(ctl({"set", "Music", "+10%"}), (CtlRun{0, "Music: 50%" + whenItPlays, ""}));
    EXPECT_EQ(ctl({"route", "Music", "usb dac"}),
              (CtlRun{0, "Music: plays on USB DAC" + whenItPlays, ""}));
}

TEST_F(BusTest, WatchPrintsTheListAgainWhenARowChanges) {
    storeValidSetup();
    startSonvel();
    QProcess watch;
    watch.start(SONVELCTL_PATH, {"watch", "--json"});
    const auto nextLine = [&] {
        QElapsedTimer waited;
        waited.start();
        while (!watch.canReadLine() && waited.elapsed() < 10000) {
            settle();  // the model's change notification runs on its main queue
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            watch.waitForReadyRead(5);
        }
        return watch.readLine().toStdString();
    };
    ASSERT_TRUE(ControlCommands::appRowsFromJson(nextLine()));

    model->setPosition(0.3, musicRow());
    const auto second = ControlCommands::appRowsFromJson(nextLine());
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_EQ(ControlCommands::matchApp("com.apple.Music", *second).value().percent, "30%");
    ::kill(static_cast<pid_t>(watch.processId()), SIGTERM);
    watch.waitForFinished(5000);
}

TEST_F(BusTest, AfterAnOversizedCallTheNextCallIsAnsweredWithinASecond) {
    storeValidSetup();
    startSonvel();
    // A client other than sonvelctl, which refuses long names before sending.
    QDBusConnection client = QDBusConnection::connectToBus(address, "sonvel-bus-test-client");
    const auto call = [](const QString& method) {
        return QDBusMessage::createMethodCall(SonvelBusService::serviceName,
                                              SonvelBusService::objectPath,
                                              SonvelBusService::interfaceName, method);
    };
    const QDBusMessage huge =
        client.call(call("SetLevel") << QString(66 << 20, 'a') << 0.5, QDBus::BlockWithGui, 60000);
    EXPECT_TRUE(huge.errorMessage().contains("too long")) << huge.errorMessage().toStdString();
    const QDBusMessage next = client.call(call("Status"), QDBus::BlockWithGui, 1000);
    EXPECT_EQ(next.type(), QDBusMessage::ReplyMessage) << next.errorMessage().toStdString();
    QDBusConnection::disconnectFromBus("sonvel-bus-test-client");
}

TEST_F(BusTest, AChangeThatCannotBeSavedFailsWithTheReason) {
    storeValidSetup();
    const std::string file = folder.filePath("sonvel.conf").toStdString(),
                      before = store->values[key];
    storeInUse = std::make_shared<QtPreferencesStore>(file);
    ASSERT_TRUE(storeInUse->setData(key, before) && ::chmod(file.c_str(), 0444) == 0);
    startSonvel();
    EXPECT_EQ(ctl({"set", "Music", "10%"}),
              (CtlRun{int(cc::failed), "",
                      "sonvelctl: Music: 10%, but only until Sonvel quits. Settings could not be "
                      "saved: " +
                          file + " is read-only (permission denied).\n"}));
    EXPECT_EQ(storeInUse->data(key).value(), before);
}

}  // namespace
}  // namespace sonvel::bustest
