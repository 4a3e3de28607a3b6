#pragma once

#include <QMap>
#include <QString>

// The captions the user gave to buttons and whether the pad also plays into
// the microphone, kept in zembra.conf under the user's configuration folder. The file is read once
// at start and written only when the user changes a setting, so a user who never does has no file.
namespace PadSettings {

inline constexpr int MaxCaptionLength = 20;

// $XDG_CONFIG_HOME/zembra/zembra.conf, or ~/.config/zembra/zembra.conf.
QString path();

// Why a caption cannot be used, as a short message for the status panel; empty
// when it can.
QString captionProblem(const QString &caption);

// Button number (1 to 20) to caption. Entries that are not a button's number or
// not a usable caption are left out; a missing or unreadable file gives none.
QMap<int, QString> captions(const QString &file = path());

// Both write the whole file anew beside it and rename it over the old one.
// False when it could not be written.
bool setCaption(int button, const QString &caption, const QString &file = path());
bool removeCaption(int button, const QString &file = path());

// "Mikrofona da çal" (microphone/on); off when the file or the entry is missing.
bool microphoneOn(const QString &file = path());
bool setMicrophoneOn(bool on, const QString &file = path());

} // namespace PadSettings
