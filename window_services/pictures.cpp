#include "window_services/pictures.h"

#include <QGuiApplication>
#include <QImageReader>

namespace {

QString resource(const char *name)
{
    return QStringLiteral(":/assets/%1.png").arg(QLatin1String(name));
}

// Qt GUI decodes PNG itself. Left to guess, QImageReader would first load every image
// format plugin (and the JPEG library) to ask each whether it reads PNG. An "@2x" name gives
// the image its device pixel ratio of 2, which keeps its logical size the plain picture's.
QImage readPng(const QString &path)
{
    QImageReader reader(path, "png");
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

} // namespace

QPixmap Pictures::pixmap(const char *name)
{
    // The file Qt's own icons take for the screens' ratio, found the same way: "@2x" from
    // above 1, which painting shrinks where the ratio lies between whole ones.
    return QPixmap::fromImage(
        readPng(qt_findAtNxFile(resource(name), qGuiApp->devicePixelRatio())));
}

QList<QImage> Pictures::iconDrawings()
{
    // Each at its own pixels, whatever the screens: an "@2x" name would otherwise give the
    // 64 px drawing the logical size of the 32 px one.
    QList<QImage> drawings;
    for (const char *name : {"icon", "icon-48", "icon@2x", "icon-128"}) {
        drawings << readPng(resource(name));
        drawings.last().setDevicePixelRatio(1.0);
    }
    return drawings;
}

QIcon Pictures::windowIcon(const QList<QImage> &drawings)
{
    // From the pictures, not the file names, which would have the icon engine guess the format.
    // Every size drawn, whatever the screens: icons are asked for in sizes of their own.
    QIcon icon;
    for (const QImage &image : drawings)
        icon.addPixmap(QPixmap::fromImage(image));
    return icon;
}
