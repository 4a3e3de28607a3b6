#include "effects/sounds.h"
#include "main_window/app_setup.h"
#include "main_window/frm_ana.h"
#include "recording_player.h"
#include "secondary_windows/frm_hak.h"
#include "whole_text.h"
#include "window_services/fonts.h"
#include "window_services/question_box.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRawFont>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>

#include <memory>

class TestFrmHak : public QObject {
    Q_OBJECT

    RecordingPlayer player;
    std::unique_ptr<frmAna> main;

    QWidget *openAbout()
    {
        main->findChild<QAction *>("bilgi")->trigger();
        QWidget *about = main->hakWindow().window();
        if (about) {
            about->activateWindow();
            if (!QTest::qWaitForWindowActive(about))
                qWarning("about window not active");
        }
        return about;
    }
    // The about window's text box, the window opened or raised first.
    QPlainTextEdit *openText() { return openAbout()->findChild<QPlainTextEdit *>("Text1"); }
    static QString shownText() { return frmHak::aboutText().replace("\r\n", "\n"); }

private slots:
    void initTestCase() { Fonts::install(); }

    void init()
    {
        main = std::make_unique<frmAna>(player);
        main->setTerminator([] {});
    }

    void cleanup()
    {
        main.reset();
        QuestionBox::setAsker({});
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void textIsExactAndReadOnly()
    {
        QCOMPARE(
            frmHak::aboutText(),
            QStringLiteral(" \r\n      Zembra,\r\n  kolay kullanımlı \r\n  arayüzüyle hızlı \r\n"
                           "   vede kolay bir \r\n    şekilde efekt \r\n girilmesini sağlar. \r\n"
                           "   Ayrıntılar, yeni   \r\n   versiyonlar için \r\n\r\n"
                           " http://www.tzk.example\r\n \r\n  adresini ziyaret \r\n"
                           "     edebiliesiniz.\r\n \r\n    Bu program \r\n     ücretsizdir. \r\n"
                           "\r\n        e-mail : \r\n bilgi@tzk.example\r\n"));
        QPlainTextEdit *text = openText();
        const QString shown = text->toPlainText();
        QCOMPARE(shown, shownText());
        QVERIFY(text->isReadOnly());
        text->setFocus();
        QTest::keyClicks(text, "yeni metin");
        QTest::keyClick(text, Qt::Key_Backspace);
        QTest::keyClick(text, Qt::Key_Delete);
        QCOMPARE(text->toPlainText(), shown);
        QCOMPARE(text->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(text->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(text->verticalScrollBar()->maximum() > 0); // more text than fits
        for (const char32_t ch : shown.toUcs4())
            QVERIFY(ch == '\n' || QRawFont::fromFont(text->font()).supportsCharacter(ch));
    }

    // Qt's own texts around ours, such as the text box's menu, are Turkish too.
    void textBoxMenuIsTurkish()
    {
        AppSetup::installTranslations();
        std::unique_ptr<QMenu> menu(openText()->createStandardContextMenu());
        QStringList texts;
        // Without the shortcut, and without the access key's '&', whose letter
        // each release of Qt's translation chooses for itself.
        for (const QAction *action : menu->actions())
            texts << action->text().section(u'\t', 0, 0).remove(u'&');
        QVERIFY2(texts.contains("Kopyala") && texts.contains("Tümünü Seç"),
                 qPrintable(texts.join(u'|')));
    }

    // A word wider than the box, such as the web and e-mail addresses, breaks
    // anywhere rather than running past the edge, so every character can be read.
    void everyLineFitsTheBox()
    {
        QPlainTextEdit *text = openText();
        const qreal room = text->viewport()->width() - 2 * text->document()->documentMargin();
        int lines = 0;
        for (QTextBlock block = text->document()->begin(); block.isValid(); block = block.next()) {
            text->document()->documentLayout()->blockBoundingRect(block); // lays it out
            for (int i = 0; i < block.layout()->lineCount(); ++i, ++lines) {
                const QTextLine line = block.layout()->lineAt(i);
                QVERIFY2(line.naturalTextWidth() <= room,
                         qPrintable(block.text().mid(line.textStart(), line.textLength())));
            }
        }
        QVERIFY(lines > text->document()->blockCount()); // the addresses did wrap
    }

    void layout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("family");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *name, QRect at, const char *family, const char *text) {
            QTest::newRow(name) << name << at << family << text;
        };
        row("Text1", QRect(160, 48, 137, 121), "DejaVu Sans", "");
        row("Command1", QRect(192, 176, 73, 25), "Liberation Sans", "Kapat");
        row("Picture1", QRect(16, 24, 129, 161), "", "");
        row("Label3", QRect(171, 24, 129, 17), "DejaVu Sans", "www.tzk.example");
        row("Label2", QRect(29, 192, 113, 17), "Liberation Sans", "bilgi@tzk.example");
        row("Label1", QRect(168, 8, 145, 17), "DejaVu Sans", "zembra v1.1");
    }

    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, family);
        QFETCH(QString, text);
        frmHak about;
        QCOMPARE(about.windowTitle(), "Zembra ");
        QCOMPARE(about.size(), QSize(312, 213));
        QCOMPARE(about.minimumSize(), about.maximumSize());
        QVERIFY(
            !(about.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QWidget *w = about.findChild<QWidget *>(name);
        QVERIFY(w);
        QCOMPARE(w->geometry(), geometry);
        if (!family.isEmpty())
            QCOMPARE(QFontInfo(w->font()).family(), family);
        if (auto *label = qobject_cast<QLabel *>(w); label && !text.isEmpty()) {
            QCOMPARE(label->text(), text);
            // The host and the e-mail address are ours to choose: they must show whole.
            QVERIFY(showsWholeText(label));
        }
        if (auto *button = qobject_cast<QPushButton *>(w)) {
            QCOMPARE(button->text(), text);
            QVERIFY(showsWholeText(button));
            QVERIFY(!button->isDefault() && !button->autoDefault());
        }
    }

    void pictureIsUnscaledInsideASunkenBorder()
    {
        frmHak about;
        auto *picture = about.findChild<QLabel *>("Picture1");
        QCOMPARE(picture->pixmap().size(), QSize(125, 163));
        QCOMPARE(picture->contentsRect().size(), QSize(125, 157)); // bottom 6 rows clipped
        QVERIFY(!picture->hasScaledContents());
        QCOMPARE(picture->frameShadow(), QFrame::Sunken);
    }

    // Focus on the picture, Tab round the three; Enter and Escape close nothing,
    // Space on "Kapat" does.
    void keyboardRoutes()
    {
        openAbout();
        QCOMPARE(QApplication::focusWidget()->objectName(), "Picture1");
        for (const char *next : {"Command1", "Text1", "Picture1"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), QLatin1String(next));
        }
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape})
            QTest::keyClick(QApplication::focusWidget(), key);
        QVERIFY(main->hakWindow().isLoaded());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab); // to "Kapat"
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QVERIFY(!main->hakWindow().isLoaded());
    }

    void kapatAndFrameCloseAlikeAndOneInstance_data()
    {
        QTest::addColumn<bool>("byFrame");
        QTest::newRow("Kapat") << false;
        QTest::newRow("frame") << true;
    }

    void kapatAndFrameCloseAlikeAndOneInstance()
    {
        QFETCH(bool, byFrame);
        QWidget *about = openAbout();
        QTest::mouseClick(main->findChild<QWidget *>("Image1"), Qt::LeftButton);
        QCOMPARE(main->hakWindow().window(), about); // raised, not a second window
        const QWidgetList windows = QApplication::topLevelWidgets();
        QCOMPARE(
            std::count_if(windows.begin(), windows.end(),
                          [](QWidget *w) { return qobject_cast<frmHak *>(w) && w->isVisible(); }),
            1);
        auto *text = about->findChild<QPlainTextEdit *>("Text1");
        text->verticalScrollBar()->setValue(text->verticalScrollBar()->maximum());
        QPointer<QWidget> gone = about;
        if (byFrame)
            about->close();
        else
            QTest::mouseClick(about->findChild<QWidget *>("Command1"), Qt::LeftButton);
        QVERIFY(!main->hakWindow().isLoaded());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(gone.isNull());
        // Loaded afresh: same content, scrolled to the top again.
        QPlainTextEdit *fresh = openText();
        QCOMPARE(fresh->verticalScrollBar()->value(), 0);
        QCOMPARE(fresh->toPlainText(), shownText());
    }
};

QTEST_MAIN(TestFrmHak)
#include "tst_frm_hak.moc"
