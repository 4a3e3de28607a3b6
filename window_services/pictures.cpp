#include "window_services/pictures.h"

#include <QImageReader>

QPixmap Pictures::pixmap(const char *name)
{
    // Qt GUI decodes PNG itself. Left to guess, QImageReader would first load every image
    // format plugin (and the JPEG library) to ask each whether it reads PNG.
    QImageReader reader(QStringLiteral(":/assets/%1.png").arg(QLatin1String(name)), "png");
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}

QIcon Pictures::windowIcon()
{
    // From the picture, not the file name, which would have the icon engine guess the format.
    return QIcon(pixmap("icon"));
}
