#include "effects/pad_settings.h"

#include "effects/effect_table.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <functional>

namespace {

const QString Group = QStringLiteral("captions");
const QString MicrophoneKey = QStringLiteral("microphone/on");

// QSettings writes through a temporary file renamed over the old one (its
// atomic sync is on by default); it is asked to say so rather than fall back
// to writing in place.
bool write(const QString &file, const std::function<void(QSettings &)> &change)
{
    if (!QDir().mkpath(QFileInfo(file).absolutePath()))
        return false;
    QSettings settings(file, QSettings::IniFormat);
    settings.setAtomicSyncRequired(true);
    change(settings);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

} // namespace

QString PadSettings::path()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/zembra/zembra.conf");
}

QString PadSettings::captionProblem(const QString &caption)
{
    if (caption.trimmed().isEmpty())
        return QStringLiteral("Ad boş olamaz !");
    if (caption.size() > MaxCaptionLength)
        return QStringLiteral("Ad en çok %1 harf !").arg(MaxCaptionLength);
    for (const QChar c : caption) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format ||
            category == QChar::Separator_Line || category == QChar::Separator_Paragraph)
            return QStringLiteral("Adda geçersiz harf !");
    }
    return {};
}

QMap<int, QString> PadSettings::captions(const QString &file)
{
    QMap<int, QString> found;
    // Nothing is made by merely looking: QSettings on a missing file creates none.
    if (!QFileInfo(file).isFile())
        return found;
    QSettings settings(file, QSettings::IniFormat);
    settings.beginGroup(Group);
    for (const QString &key : settings.childKeys()) {
        bool isNumber = false;
        const int button = key.toInt(&isNumber);
        const QVariant value = settings.value(key);
        if (!isNumber || button < 1 || button > Effects::Count ||
            value.typeId() != QMetaType::QString)
            continue;
        const QString caption = value.toString();
        if (captionProblem(caption).isEmpty())
            found.insert(button, caption);
    }
    return found;
}

bool PadSettings::setCaption(int button, const QString &caption, const QString &file)
{
    return write(file, [&](QSettings &settings) {
        settings.setValue(Group + QLatin1Char('/') + QString::number(button), caption);
    });
}

bool PadSettings::removeCaption(int button, const QString &file)
{
    if (!QFileInfo(file).isFile())
        return true;
    return write(file, [&](QSettings &settings) {
        settings.remove(Group + QLatin1Char('/') + QString::number(button));
    });
}

bool PadSettings::microphoneOn(const QString &file)
{
    if (!QFileInfo(file).isFile())
        return false;
    const QVariant value = QSettings(file, QSettings::IniFormat).value(MicrophoneKey);
    // Read back as text from the file, or as it was set within this process.
    return value.toString() == QLatin1String("true");
}

bool PadSettings::setMicrophoneOn(bool on, const QString &file)
{
    return write(file, [on](QSettings &settings) { settings.setValue(MicrophoneKey, on); });
}
