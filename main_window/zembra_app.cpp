#include "main_window/zembra_app.h"

#include "audio/sound_engine.h"
#include "audio/virtual_microphone.h"
#include "effects/effect_table.h"
#include "effects/sound_log.h"
#include "generated/build_info.h"
#include "main_window/app_setup.h"
#include "main_window/frm_ana.h"
#include "main_window/microphone_setting.h"
#include "main_window/press_service.h"
#include "window_services/fonts.h"
#include "window_services/style.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

namespace {

// --help and --version answer on the terminal before anything of the window
// system or sound exists, so they work with no display at all. Apart from --play,
// which main.cpp answers, any other argument is ignored, as it always was.
bool answeredOnTheTerminal(int argc, char *argv[])
{
    bool asked = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        asked |= arg == "--help" || arg == "-h" || arg == "--version" || arg == "-v";
    }
    if (!asked)
        return false;
    QCoreApplication app(argc, argv);
    AppSetup::describeApplication();
    AppSetup::installTranslations();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Ses efekti paneli: yirmi düğmenin her biri, programın yanındaki "
                       "(ya da ~/.local/share/zembra içindeki) bir ses dosyasını çalar.\n\n"
                       "Genel kısayol: masaüstünün klavye ayarlarında (GNOME, KDE Plasma, "
                       "Xfce) özel bir kısayol ekleyip komut olarak \"zembra --play 5\" "
                       "yazın; tuşa her basışta çalışan Zembra \"Alkış Gülme\" efektini "
                       "çalar.\n\n"
                       "Mikrofona da çal (pencereye sağ tıklayınca, Menü tuşu ya da "
                       "Shift+F10 ile açılan menüde): açıkken \"Zembra mikrofonu\" adlı bir "
                       "mikrofon, "
                       "varsayılan mikrofonunuzdaki sesinizi ve Zembra'nın çaldığı her sesi "
                       "taşır; görüşme programında giriş olarak onu seçin. Seçim "
                       "~/.config/zembra/zembra.conf dosyasında saklanır; D-Bus özelliği "
                       "IntoMicrophone ile de açılıp kapanır. Gerçek mikrofon yalnızca bir "
                       "program Zembra mikrofonunu kaydederken açılır."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    // main.cpp answers it; here it is only described.
    parser.addOption(QCommandLineOption(
        {QStringLiteral("p"), QStringLiteral("play")},
        QStringLiteral("Çalışan Zembra'da N numaralı düğmeye basar (1-%1); pencere açmaz.")
            .arg(Effects::Count),
        QStringLiteral("N")));
    parser.parse(app.arguments()); // unknown options are no error here
    if (parser.isSet(version))
        parser.showVersion();
    parser.showHelp(0);
}

} // namespace

int ZembraApp::run(int argc, char *argv[], SharedWindow::Factory browserFactory)
{
    if (answeredOnTheTerminal(argc, argv))
        return 0;
    AppSetup::beforeApplication();
    // The program's name alone: Qt would otherwise act on options of its own among the
    // arguments (-platform, -style, -qwindowtitle, -reverse...). Its environment
    // variables still count.
    int qtArgc = 1;
    char *qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    AppSetup::describeApplication();
    AppSetup::installTranslations();
    Fonts::install();
    Style::install();
    SoundLog::install();
    SoundEngine player;
    VirtualMicrophone microphone;
    MicrophoneSetting microphoneSetting(microphone);
    frmAna window(player);
    window.setMicrophone(microphoneSetting);
    if (browserFactory)
        window.browserWindow().setFactory(std::move(browserFactory));
    window.show();
    window.sounds().preloadAll();
    PressService service([&window](int n) { window.clickEffectButton(n); });
    service.setMicrophone(&microphoneSetting);
    offerPressService(window, service);
    // The exit command ends the process without destructors: the microphone
    // goes first, as it does when the last window closes.
    QObject::connect(&window, &frmAna::leaving, &microphoneSetting, &MicrophoneSetting::removeNow);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &microphoneSetting,
                     &MicrophoneSetting::removeNow);
    return exec(window);
}

void ZembraApp::offerPressService(frmAna &window, PressService &service)
{
    // Once the window is up, so that start-up does not wait for the bus.
    QTimer::singleShot(0, &service, [&service] { service.registerOn(); });
    // The last window closed, or the session ending; and the exit command, which
    // ends the process without leaving the event loop.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &service, &PressService::unregister);
    QObject::connect(&window, &frmAna::leaving, &service, &PressService::unregister);
}

int ZembraApp::exec(const frmAna &window)
{
    const int code = QApplication::exec();
    // The windows are gone from the screen before the goodbye plays out.
    QGuiApplication::sync();
    window.sounds().playOut();
    return code;
}
