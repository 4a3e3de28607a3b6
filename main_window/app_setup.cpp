#include "main_window/app_setup.h"

#include "generated/build_info.h"

#include <QGuiApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

void AppSetup::beforeApplication()
{
    // The program writes no file. Qt would otherwise keep compiled shaders of
    // the web view under ~/.cache (or /.cache with no HOME).
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
    // Mesa keeps a shader cache of its own there, which Qt's attribute does not
    // reach. A user who chose a setting keeps it.
    if (!qEnvironmentVariableIsSet("MESA_SHADER_CACHE_DISABLE"))
        qputenv("MESA_SHADER_CACHE_DISABLE", "true");
}

void AppSetup::describeApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("zembra"));
    QCoreApplication::setApplicationVersion(QLatin1String(BuildInfo::Version));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.Zembra"));
}

void AppSetup::installTranslations()
{
    const QLocale turkish(QLocale::Turkish, QLocale::Turkey);
    QLocale::setDefault(turkish);
    auto *qt = new QTranslator(QCoreApplication::instance());
    if (qt->load(turkish, QStringLiteral("qtbase"), QStringLiteral("_"),
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qt);
    else
        delete qt; // not installed: Qt's texts stay in English
}
