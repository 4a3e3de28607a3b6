#include "secondary_windows/frm_hak.h"

#include "generated/build_info.h"
#include "window_services/command_button.h"
#include "window_services/fonts.h"
#include "window_services/pictures.h"
#include "window_services/shared_window.h"
#include "window_services/twips.h"

#include <QLabel>
#include <QPlainTextEdit>

namespace {

QLabel *makeLabel(QWidget *parent, const char *name, const QString &text, const QRect &geometry,
                  const QFont &font)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setFont(font);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setAutoFillBackground(true); // opaque, in the window's colours
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

QString frmHak::webAddress()
{
    return QStringLiteral("http://") + QLatin1String(BuildInfo::WebHost);
}

QString frmHak::mailAddress()
{
    QString domain = QLatin1String(BuildInfo::WebHost);
    if (domain.startsWith(QLatin1String("www.")))
        domain.remove(0, 4);
    return QStringLiteral("bilgi@") + domain;
}

QString frmHak::aboutText()
{
    // Every space is deliberate: the lines are centred by eye in the box.
    const QStringList lines{
        QStringLiteral(" "),
        QStringLiteral("      Zembra,"),
        QStringLiteral("  kolay kullanımlı "),
        QStringLiteral("  arayüzüyle hızlı "),
        QStringLiteral("   vede kolay bir "),
        QStringLiteral("    şekilde efekt "),
        QStringLiteral(" girilmesini sağlar. "),
        QStringLiteral("   Ayrıntılar, yeni   "),
        QStringLiteral("   versiyonlar için "),
        QString(),
        QLatin1Char(' ') + webAddress(),
        QStringLiteral(" "),
        QStringLiteral("  adresini ziyaret "),
        QStringLiteral("     edebiliesiniz."),
        QStringLiteral(" "),
        QStringLiteral("    Bu program "),
        QStringLiteral("     ücretsizdir. "),
        QString(),
        QStringLiteral("        e-mail : "),
        QLatin1Char(' ') + mailAddress(),
    };
    return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

frmHak::frmHak(QWidget *parent)
    : QWidget(parent,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setUpSecondaryWindow(this, "frmHak", QStringLiteral("Zembra "),
                         QSize(twips(4680), twips(3195)));

    auto *text = new QPlainTextEdit(this);
    text->setObjectName(QStringLiteral("Text1"));
    text->setGeometry(twipsRect(2400, 720, 2055, 1815));
    text->setFont(Fonts::verdana(8.25));
    // The box shows the stored text; QPlainTextEdit breaks lines at LF alone.
    text->setPlainText(aboutText().replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    text->setReadOnly(true);
    text->setAccessibleName(QStringLiteral("Zembra hakkında"));
    text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text->setFocusPolicy(Qt::StrongFocus);
    text->setTabChangesFocus(true);
    text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // At word boundaries, and inside a word that is wider than the box.
    text->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);

    auto *close = new CommandButton(QStringLiteral("Kapat"), this);
    close->setObjectName(QStringLiteral("Command1"));
    close->setGeometry(twipsRect(2880, 2640, 1095, 375));
    close->setFont(Fonts::windowDefault());
    connect(close, &QPushButton::clicked, this, &frmHak::Command1_Click);

    auto *picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("Picture1"));
    picture->setGeometry(twipsRect(240, 360, 1935, 2415));
    picture->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    picture->setLineWidth(2);
    picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    picture->setPixmap(Pictures::pixmap("about"));
    picture->setAccessibleName(QStringLiteral("Tzk Design"));
    picture->setAccessibleDescription(QStringLiteral("Zembra hakkında resmi"));
    picture->setFocusPolicy(Qt::StrongFocus);

    makeLabel(this, "Label3", QLatin1String(BuildInfo::WebHost), twipsRect(2570, 360, 1935, 255),
              Fonts::verdana(9.75));
    makeLabel(this, "Label2", mailAddress(), twipsRect(430, 2880, 1695, 255), Fonts::arial(9));
    makeLabel(this, "Label1", QStringLiteral("zembra v") + QLatin1String(BuildInfo::Version),
              twipsRect(2520, 120, 2175, 255), Fonts::verdana(12, true));

    setTabOrder(picture, close);
    setTabOrder(close, text);
    picture->setFocus();
}

void frmHak::Command1_Click()
{
    close(); // unloads: the window is deleted on close
}
