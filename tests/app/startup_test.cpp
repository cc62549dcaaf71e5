// Start-up as the operator meets it: the splash window with its pictures and captions, the note for
// a port the user may not open, line breaks in message texts and the announced time scale.
#include "app/main_window.h"
#include "app/splash/jpeg_image.h"
#include "app/splash/splash_form.h"
#include "app/window_main.h"
#include "app_test_support.h"
#include "script/progress_form.h"
#include "serial/time_base.h"
#include "support/pty.h"

#include "support/unprivileged.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QMouseEvent>

#include <grp.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>

using namespace brimwell;
using namespace brimwell::testing;
using brimwell::test::PtyPair;

namespace {

void click(QWidget* w) {
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &press);
}

// A settings file of `lines` setting lines (after a comment and a section), line 23 as given.
void writeSettings(const TempDir& dir, int lines, const std::string& line23) {
    std::string text = "; settings\n[Window]\n";
    for (int n = 1; n <= lines; ++n)
        text += n == 23 ? line23 + "\n" : "S" + std::to_string(n) + "=\n";
    dir.write("LoaderDefault.ini", text);
}

struct SplashCase {
    const char* name;
    std::optional<std::string> line23; // no settings file when empty
    int lines, width;                  // setting lines; width of the splash shown, 0 when none is shown
    const char *mainCaption, *progressCaption;
};

} // namespace

TEST(Splash, Setting23ChoosesPictureAndCaptions) {
    const char* designMain = "Quellmark Inc. :- Brimwell";
    const char* designProgress = "Quellmark Inc. :- File Upload Progress";
    const SplashCase cases[] = {
        {"Zero", "B=0", 29, 600, "Quellmark Inc :- Brimwell", "Quellmark Inc :- File Upload Progress"},
        {"Empty", "B=", 23, 600, "Quellmark Inc :- Brimwell", "Quellmark Inc :- File Upload Progress"},
        {"Hundred", "B= 100", 23, 800, "QXR :- Brimwell", "QXR :- File Upload Progress"},
        {"Seven", "B=7", 23, 0, "Brimwell", "Brimwell"},
        {"NoEquals", "Branding", 23, 0, designMain, designProgress},
        {"TwentyTwoLines", "B=0", 22, 0, designMain, designProgress},
        {"NoFile", std::nullopt, 0, 0, designMain, designProgress},
    };
    serial::Clock::setScale(20);
    for (const auto& c : cases) {
        TempDir dir;
        if (c.line23) writeSettings(dir, c.lines, *c.line23);
        QWidget mainForm, progressForm;
        mainForm.setWindowTitle(designMain);
        progressForm.setWindowTitle(designProgress);
        const uint32_t before = serial::Clock::msecs();
        app::SplashForm splash(&mainForm, &progressForm,
                               QString::fromStdString(dir.file("LoaderDefault.ini")));
        const uint32_t took = serial::Clock::msecs() - before;
        EXPECT_EQ(mainForm.windowTitle().toStdString(), c.mainCaption) << c.name;
        EXPECT_EQ(progressForm.windowTitle().toStdString(), c.progressCaption) << c.name;
        EXPECT_EQ(splash.isVisible(), c.width != 0) << c.name;
        EXPECT_EQ(splash.jqzImage->pixmap().size(), QSize(600, 400)) << c.name;
        EXPECT_EQ(splash.qxrImage->pixmap().size(), QSize(800, 700)) << c.name;
        if (c.width == 0) continue;
        EXPECT_GE(took, static_cast<uint32_t>(app::SplashForm::kShowMs)) << c.name;
        EXPECT_EQ(splash.size(), c.width == 600 ? QSize(600, 400) : QSize(800, 700)) << c.name;
        EXPECT_EQ(splash.jqzImage->isVisible(), c.width == 600) << c.name;
        EXPECT_EQ(splash.qxrImage->isVisible(), c.width == 800) << c.name;
        // The big picture lies on top and ignores clicks; the small one hides the splash.
        click(c.width == 600 ? static_cast<QWidget*>(splash.jqzImage) : splash.qxrImage);
        EXPECT_EQ(splash.isVisible(), c.width == 800) << c.name;
    }
}

TEST(Splash, PicturesAreA24BitBitmapAndARealJpeg) {
    QFile bmp(QStringLiteral(":/splash/jqz.bmp")), jpeg(QStringLiteral(":/splash/qxr.jpg"));
    ASSERT_TRUE(bmp.open(QIODevice::ReadOnly) && jpeg.open(QIODevice::ReadOnly));
    EXPECT_EQ(bmp.readAll().at(28), 24) << "bits per pixel in the bitmap header";
    EXPECT_EQ(app::decodeJpeg(jpeg.readAll()).size(), QSize(800, 700));
    QString why;
    EXPECT_TRUE(app::decodeJpeg(QByteArray("\xFF\xD8 not really", 14), &why).isNull());
    EXPECT_FALSE(why.isEmpty());
}

TEST(Splash, HiddenByTheMainWindowAfterItsConnectionStep) {
    serial::Clock::setScale(20);
    TempDir dir;
    writeSettings(dir, 23, "B=100");
    ScriptedDialogs dialogs;
    mapCom(1, dir.file("absent1"));
    mapCom(2, dir.file("absent2"));
    app::MainWindow form(QString::fromStdString(dir.file("LoaderDefault.ini")));
    app::SplashForm splash(&form, form.progressForm, QString::fromStdString(dir.file("LoaderDefault.ini")));
    form.splashForm = &splash;
    EXPECT_TRUE(splash.isVisible());
    form.show();
    ASSERT_TRUE(pumpUntil([&] { return form.startupFinished(); }, 30000));
    EXPECT_FALSE(splash.isVisible());
}

TEST(Window, LineBreaksAndTheTimeScaleNotice) {
    for (const auto& [in, out] :
         {std::pair{"a\r\nb", "a\nb"}, std::pair{"a\rb\rc", "a\nb\nc"}, std::pair{"a\nb", "a\nb"}})
        EXPECT_EQ(app::withLineBreaks(in).toStdString(), out) << in;
    app::MainWindow form(QStringLiteral("/nonexistent/LoaderDefault.ini"));
    form.setStatusText(QStringLiteral("one\rtwo"));
    EXPECT_EQ(form.statusText(), "one\ntwo");
    const QByteArray saved = qgetenv("BRIMWELL_TIME_SCALE");
    qputenv("BRIMWELL_TIME_SCALE", "20");
    app::showTimeScaleNotice(form);
    saved.isNull() ? qunsetenv("BRIMWELL_TIME_SCALE") : qputenv("BRIMWELL_TIME_SCALE", saved);
    const auto* notice = form.findChild<QLabel*>(QStringLiteral("TimeScaleNotice"));
    ASSERT_NE(notice, nullptr);
    EXPECT_TRUE(notice->text().contains("20 times faster")) << notice->text().toStdString();
}

// Root opens any device: the window runs in a child turned ordinary user outside the port's group.
TEST(Window, PortTheUserMayNotOpenNamesDeviceAndGroup) {
    PtyPair pty{PtyPair::Slave::held};
    ASSERT_EQ(::chown(pty.slavePath().c_str(), 0, 20), 0);
    ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0660), 0);
    pty.bindCom(1);
    const brimwell::testing::ChildReport r = brimwell::testing::runAsNobody([](std::string& said) {
        ScriptedDialogs dialogs;
        app::MainWindow form(QStringLiteral("/nonexistent/LoaderDefault.ini"));
        const bool found = form.checkCom(1);
        said = dialogs.messages.join("|").toStdString();
        return found ? 1 : 0;
    });
    const std::string& said = r.said;
    ASSERT_EQ(r.exitCode, 0) << said;
    EXPECT_NE(said.find("Note: COM Port #1 is not responding/being used by other applications.\r\n"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(pty.slavePath()), std::string::npos) << said;
    EXPECT_NE(said.find(std::string("group '") + ::getgrgid(20)->gr_name + "'"), std::string::npos) << said;
}
