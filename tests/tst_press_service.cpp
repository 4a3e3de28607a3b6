// Zembra pressed from outside: the real `zembra --play N` and raw calls on a
// private session bus reach a main window whose sound goes to a real server
// (ZEMBRA_TEST_SERVER: pulse or pipewire), recorded on its monitor.
#include "audio/sound_engine.h"
#include "effects/effect_table.h"
#include "env_guard.h"
#include "graph_watch.h"
#include "main_window/frm_ana.h"
#include "main_window/press_service.h"
#include "recording_player.h"
#include "sound_server.h"
#include "wav.h"
#include "window_services/status_panel.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>

using SoundServerTest::Recorder;
using SoundServerTest::Samples;
using SoundServerTest::Server;
using SoundServerTest::StallTries;

namespace {

void writeFile(const QString &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

struct Run {
    int exitCode = -1;
    QString err;
};

// The program as a shortcut runs it.
Run zembra(const QStringList &arguments)
{
    QProcess p;
    // The copies in this process answer from its event loop, which runs meanwhile.
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    p.start(ZEMBRA_PROGRAM, arguments);
    loop.exec();
    if (p.state() != QProcess::NotRunning || p.exitStatus() != QProcess::NormalExit)
        return {};
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardError())};
}

// One copy of Zembra in this process, on a bus connection of its own, so that
// ending the copy is closing that connection.
struct Copy {
    Copy(EffectPlayer &player, const QString &connection)
        : name(connection)
        , window(player)
        , service([this](int n) { window.clickEffectButton(n); })
    {
        window.show();
        service.registerOn(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connection));
    }
    ~Copy() { end(); }
    void end() { QDBusConnection::disconnectFromBus(name); }
    QString baseService() const { return QDBusConnection(name).baseService(); }
    StatusPanel *statusPanel() const { return window.findChild<StatusPanel *>("PicStatus"); }
    QString panel() const { return statusPanel()->text(); }

    QString name;
    frmAna window;
    PressService service;
};

// Reads what `child` prints until it has said `word`; false if it ended first.
bool readUntil(QProcess &child, const QByteArray &word, QByteArray &said)
{
    while (!said.contains(word) && child.waitForReadyRead(30000))
        said += child.readAllStandardOutput();
    return said.contains(word);
}

uint pidOf(const QString &service)
{
    return QDBusConnection::sessionBus().interface()->servicePid(service).value();
}

QString owner()
{
    return QDBusConnection::sessionBus().interface()->serviceOwner(PressService::ServiceName);
}

// The connections waiting for the name, its owner first.
QStringList queued()
{
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "ListQueuedOwners")
        << PressService::ServiceName);
    return reply.arguments().value(0).toStringList();
}

// How many sources, sinks or modules (`what`, as pactl lists them) name
// `text` (their name, or their arguments for modules).
int serverHas(const char *what, const QString &text)
{
    int n = 0;
    for (const QByteArray &line :
         SoundServerTest::serverTool("pactl", {"list", "short", what}).split('\n'))
        n += line.split('\t').mid(1).join('\t').contains(text.toUtf8()) &&
             (std::strcmp(what, "modules") == 0 || line.split('\t').value(1) == text.toUtf8());
    return n;
}

// What a copy made for its microphone: its modules on PulseAudio, its nodes
// (made in its own process) on PipeWire.
int madeBy(qint64 pid)
{
    if (qEnvironmentVariable("ZEMBRA_TEST_SERVER") == "pulse")
        return serverHas("modules", QString("application.process.id=%1").arg(pid));
    int n = 0;
    for (const QJsonValue &o : SoundServerTest::pipewireGraph()) {
        const QJsonObject props = o[QLatin1String("info")][QLatin1String("props")].toObject();
        n += o[QLatin1String("type")].toString().endsWith(QLatin1String(":Node")) &&
             props.contains(QLatin1String("zembra.part")) &&
             props[QLatin1String("application.process.id")].toVariant().toLongLong() == pid;
    }
    return n;
}

QDBusMessage microphoneProperty(const QVariant &set = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        PressService::ServiceName, PressService::ObjectPath, "org.freedesktop.DBus.Properties",
        set.isValid() ? "Set" : "Get");
    call << QString("org.example.Zembra") << QString("IntoMicrophone");
    if (set.isValid())
        call << QVariant::fromValue(QDBusVariant(set));
    return QDBusConnection::sessionBus().call(call);
}

} // namespace

class TestPressService : public QObject {
    Q_OBJECT

    QTemporaryDir data;
    std::unique_ptr<EnvGuard> env;
    std::unique_ptr<EnvGuard> dataHome;
    std::unique_ptr<Server> server;
    std::unique_ptr<SoundEngine> engine;
    std::unique_ptr<Copy> zembraHere;
    Samples five;
    int rate = 0;
    bool pipewire = false;

    // What the server played around `press` on this process's copy must be 5.tzk
    // once and whole; a try in which the graph stalled is made again.
    void hearsFiveOnce(const std::function<void()> &press)
    {
        for (StallTries tries(pipewire, rate);;) {
            zembraHere->statusPanel()->showStatus({});
            Recorder recorder(rate);
            QVERIFY(recorder.started());
            QVERIFY2(tries.begin(), "the watch of the graph saw it run no cycle");
            press();
            if (QTest::currentTestFailed())
                return;
            engine->waitUntilHandled();
            QTest::qWait(400);
            const auto heard = tries.recorded(recorder.stop());
            if (tries.madeAgain())
                continue;
            QVERIFY2(heard, Recorder::Unheard);
            const auto found = SoundServerTest::heardSounds(*heard, {&five});
            const std::vector<SoundServerTest::Heard> once{{0, five.size(), {}}};
            QVERIFY2(found == once, qPrintable(SoundServerTest::describe(found)));
            return;
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "no private session bus");
        const QString kind = qEnvironmentVariable("ZEMBRA_TEST_SERVER");
        QVERIFY2(kind == "pulse" || kind == "pipewire", "ZEMBRA_TEST_SERVER: pulse or pipewire");
        pipewire = kind == "pipewire";
        env = SoundServerTest::clientEnvironment();
        dataHome = std::make_unique<EnvGuard>(std::initializer_list<const char *>{"XDG_DATA_HOME"});
        server = std::make_unique<Server>(kind, 1024);
        QVERIFY2(server->ready(), "the sound server did not start");
        server->use();
        engine = std::make_unique<SoundEngine>();
        engine->play(data.filePath("none").toStdString());
        engine->waitUntilHandled();
        rate = engine->outputRate();
        QVERIFY(rate >= 8000);
        // The user's own kit: a silent intro and a recognisable 5.tzk.
        qputenv("XDG_DATA_HOME", data.path().toUtf8());
        QVERIFY(QDir(data.path()).mkpath("zembra"));
        five = Wav::ramp(std::size_t(rate) / 10, 1, 37);
        writeFile(data.filePath("zembra/5.tzk"), Wav::build(five, 1, rate));
        writeFile(data.filePath("zembra/00.tzk"), Wav::build({}, 1, rate));
    }

    void cleanupTestCase()
    {
        zembraHere.reset();
        engine.reset();
        server.reset();
        env.reset();
        dataHome.reset();
    }

    // A good press prints and plays 5.tzk; a bad number is refused and changes
    // nothing, which a good press after it shows: whatever the bad one had set
    // off would have come before that one's sound.
    void pressFromTheCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("good");
        QTest::newRow("--play 5") << QStringList{"--play", "5"} << true;
        QTest::newRow("-p 5") << QStringList{"-p", "5"} << true;
        QTest::newRow("--play=5") << QStringList{"--play=5"} << true;
        QTest::newRow("0") << QStringList{"--play", "0"} << false;
        QTest::newRow("21") << QStringList{"--play", "21"} << false;
        QTest::newRow("x") << QStringList{"--play", "x"} << false;
        QTest::newRow("a number, then more") << QStringList{"--play=5x"} << false;
        QTest::newRow("-p -1") << QStringList{"-p", "-1"} << false;
        QTest::newRow("no number") << QStringList{"--play"} << false;
    }

    void pressFromTheCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, good);
        if (!zembraHere) {
            zembraHere = std::make_unique<Copy>(*engine, "here");
            QTRY_COMPARE(owner(), zembraHere->baseService());
        }
        hearsFiveOnce([&] {
            const Run run = zembra(arguments);
            if (good) {
                QCOMPARE(run.exitCode, 0);
                QCOMPARE(run.err, QString());
            } else {
                QCOMPARE(run.exitCode, 2);
                QVERIFY2(run.err.contains("1 ile 20 arasında"), qPrintable(run.err));
                QCOMPARE(zembraHere->panel(), QString());
                QCOMPARE(zembra({"--play", "5"}).exitCode, 0);
            }
            QCOMPARE(zembraHere->panel(), "     Alkış Gülme !");
        });
    }

    // What a program of the user's own might send.
    void rawCallsOutOfRangeAreErrors_data()
    {
        QTest::addColumn<QVariant>("argument");
        QTest::addColumn<QString>("error");
        const QString invalid = "org.freedesktop.DBus.Error.InvalidArgs";
        QTest::newRow("21") << QVariant(21) << invalid;
        QTest::newRow("0") << QVariant(0) << invalid;
        QTest::newRow("-1") << QVariant(-1) << invalid;
        QTest::newRow("a text") << QVariant("5") << "org.freedesktop.DBus.Error.UnknownMethod";
    }

    void rawCallsOutOfRangeAreErrors()
    {
        QFETCH(QVariant, argument);
        QFETCH(QString, error);
        QVERIFY(zembraHere);
        zembraHere->statusPanel()->showStatus({});
        QDBusMessage call = QDBusMessage::createMethodCall(
            PressService::ServiceName, PressService::ObjectPath, "org.example.Zembra", "Press");
        call << argument;
        // The copy answers from this thread's event loop.
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::BlockWithGui);
        QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
        QCOMPARE(reply.errorName(), error);
        QCOMPARE(zembraHere->panel(), QString());
    }

    // Several copies: the first owns the name and alone answers. How the name
    // passes on is the next two cases'.
    void twoCopiesOneAnswers()
    {
        zembraHere.reset();
        QTRY_COMPARE(owner(), QString());
        RecordingPlayer firstPlayer, secondPlayer;
        Copy first(firstPlayer, "first");
        QTRY_COMPARE(owner(), first.baseService());
        Copy second(secondPlayer, "second");
        firstPlayer.requests.clear();
        secondPlayer.requests.clear();
        QCOMPARE(zembra({"-p", "20"}).exitCode, 0);
        QCOMPARE(first.panel(), "      Remixed By");
        QCOMPARE(firstPlayer.requests.size(), std::size_t(1));
        QVERIFY(firstPlayer.requests[0].find("/20.tzk") != std::string::npos);
        QCOMPARE(second.panel(), QString());
        QVERIFY(secondPlayer.requests.empty());
    }

    // Every way out gives the name up before the closing sound plays out: a press
    // meanwhile is the next copy's at once, not lost on the copy going away, which
    // answers nothing while it plays out. The copy going away is held at the
    // start of its goodbye until the press has been answered.
    void theNamePassesOnBeforeTheGoodbye_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("menu Çık") << "menu";
        QTest::newRow("Ctrl+C") << "ctrl-c";
        QTest::newRow("Yes to the exit question") << "yes";
    }

    void theNamePassesOnBeforeTheGoodbye()
    {
        QFETCH(QString, how);
        zembraHere.reset();
        QTRY_COMPARE(owner(), QString());
        QProcess first;
        first.start(EXIT_CHILD, {how, "bus"});
        QVERIFY(first.waitForStarted());
        QByteArray said;
        QVERIFY2(readUntil(first, "owner", said), said.constData());
        QCOMPARE(pidOf(PressService::ServiceName), uint(first.processId()));
        RecordingPlayer secondPlayer;
        Copy second(secondPlayer, "second");
        QCOMPARE(queued().size(), 2);

        first.write("\n");
        QVERIFY2(readUntil(first, "gone", said), said.constData());
        QVERIFY2(said.contains("01.tzk"), said.constData());
        QCOMPARE(owner(), second.baseService());
        second.statusPanel()->showStatus({});
        secondPlayer.requests.clear();
        QCOMPARE(zembra({"--play", "5"}).exitCode, 0);
        QCOMPARE(second.panel(), "     Alkış Gülme !");
        QCOMPARE(secondPlayer.requests.size(), std::size_t(1));
        // All that while the first copy was still in its goodbye.
        QCOMPARE(first.state(), QProcess::Running);

        first.write("\n");
        QVERIFY(first.waitForFinished(30000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
    }

    // The program itself offers the service once its window is up, and the name
    // passes on when that process ends.
    void theProgramOffersItAndPassesItOn()
    {
        QTRY_COMPARE(owner(), QString());
        QProcess a, b;
        for (QProcess *p : {&a, &b}) {
            p->start(ZEMBRA_PROGRAM, {});
            QVERIFY(p->waitForStarted());
        }
        QTRY_VERIFY_WITH_TIMEOUT(!owner().isEmpty(), 20000);
        const uint firstPid = pidOf(PressService::ServiceName);
        QVERIFY(firstPid == uint(a.processId()) || firstPid == uint(b.processId()));
        QProcess &firstOne = firstPid == uint(a.processId()) ? a : b;
        QProcess &other = &firstOne == &a ? b : a;
        QCOMPARE(zembra({"--play", "5"}).exitCode, 0);
        QTRY_COMPARE_WITH_TIMEOUT(queued().size(), 2, 20000);
        firstOne.kill();
        firstOne.waitForFinished();
        QTRY_COMPARE_WITH_TIMEOUT(pidOf(PressService::ServiceName), uint(other.processId()), 10000);
        QCOMPARE(zembra({"--play", "5"}).exitCode, 0);
        other.kill();
        other.waitForFinished();
        QTRY_COMPARE(owner(), QString());
        const Run run = zembra({"--play", "5"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("Zembra yok"), qPrintable(run.err));
    }

    // "Zembra mikrofonu" switched over the bus: the choice is written only
    // when made, holds at the next start, and a killed copy's microphone is
    // replaced by the next copy's rather than doubled.
    void intoMicrophoneOverTheBus()
    {
        QTRY_COMPARE(owner(), QString());
        QTemporaryDir config;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", config.path());
        const QString file = config.filePath("zembra/zembra.conf"), source = "zembra_mic";
        QProcess first, second;
        const auto start = [&](QProcess &p) {
            p.setProcessEnvironment(env);
            p.start(ZEMBRA_PROGRAM, {});
            return p.waitForStarted() && QTest::qWaitFor([] { return !owner().isEmpty(); }, 20000);
        };
        const auto isOn = [] {
            return microphoneProperty().arguments().value(0).value<QDBusVariant>().variant();
        };
        QVERIFY(start(first));
        QCOMPARE(isOn(), QVariant(false));
        QVERIFY(!QFile::exists(file));
        QCOMPARE(microphoneProperty(true).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(serverHas("sources", source), 1);
        QCOMPARE(QSettings(file, QSettings::IniFormat).value("microphone/on"), QVariant(true));
        QCOMPARE(madeBy(first.processId()), 2);
        first.kill();
        first.waitForFinished();
        QTRY_COMPARE(owner(), QString());
        QVERIFY(start(second));
        QCOMPARE(isOn(), QVariant(true));
        QTRY_COMPARE(madeBy(second.processId()), 2);
        QCOMPARE(madeBy(first.processId()), 0);
        QCOMPARE(serverHas("sources", source), 1);
        QCOMPARE(microphoneProperty(false).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(serverHas("sources", source), 0);
        QCOMPARE(QSettings(file, QSettings::IniFormat).value("microphone/on"), QVariant(false));
        second.kill();
        second.waitForFinished();
    }
};

QTEST_MAIN(TestPressService)
#include "tst_press_service.moc"
