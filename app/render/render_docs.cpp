// Renders the main window before and during a script run, and the progress window, into PNG files
// for the documentation; with a recorded program stream also the window in VT100 mode showing it.
// Runs offscreen against the unit simulator on a pseudo-terminal.
//   brimwell-render-docs OUTPUT_DIR SIMULATOR [VT100_STREAM [BYTES]]
#include "app/dialogs.h"
#include "app/main_window.h"
#include "app/splash/splash_form.h"
#include "script/progress_form.h"
#include "serial/component/pending_events.h"
#include "terminal/widget/terminal_widget.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace brimwell;

// Answers the dialogs the way an operator would for these pictures.
class DocDialogs : public app::DialogSeam {
  public:
    QString script;
    app::MsgAnswer messageBox(QWidget*, const QString& text, const QString&, app::MsgButtons,
                              app::MsgKind) override {
        std::fprintf(stderr, "render-docs: message \"%s\"\n", text.toUtf8().constData());
        return app::MsgAnswer::Ok;
    }
    QString openFileName(QWidget*, const QString&, const QString&, const QString&) override { return script; }
    bool chooseFont(QWidget*, QFont&, QColor&) override { return false; }
};

bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        serial::processPendingEvents();
        usleep(1000);
    }
    return true;
}

bool save(QWidget* w, const std::string& path) {
    const bool ok = w->grab().save(QString::fromStdString(path), "PNG");
    std::fprintf(stderr, "render-docs: %s %s\n", ok ? "wrote" : "could not write", path.c_str());
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: brimwell-render-docs OUTPUT_DIR SIMULATOR [VT100_STREAM [BYTES]]\n");
        return 2;
    }
    const std::string out = std::filesystem::absolute(argv[1]).string();
    const std::string simulator = argv[2];
    std::string stream;
    if (argc > 3) {
        std::ifstream in(argv[3], std::ios::binary);
        stream.assign(std::istreambuf_iterator<char>(in), {});
        if (argc > 4) stream.resize(std::min(stream.size(), size_t(std::atol(argv[4]))));
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    signal(SIGPIPE, SIG_IGN);

    char tmpl[] = "/tmp/brimwell-docs-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string work = tmpl;
    const std::string link = work + "/com1";
    std::filesystem::create_directories(out);

    // The unit, paced like a real line so that the pictures catch the upload under way (about 10 s).
    std::vector<std::string> args{simulator, "--link", link, "--quiet", "--baud", "115200", "--store", work};
    std::vector<char*> av;
    for (auto& a : args)
        av.push_back(a.data());
    av.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t sim = -1;
    if (posix_spawn(&sim, av[0], &actions, nullptr, av.data(), environ) != 0) {
        std::fprintf(stderr, "render-docs: cannot start %s\n", simulator.c_str());
        return 1;
    }
    struct stat st {};
    for (int i = 0; i < 2500 && ::stat(link.c_str(), &st) != 0; ++i)
        usleep(2000);
    setenv("BRIMWELL_COM1", link.c_str(), 1);
    setenv("BRIMWELL_COM2", (work + "/absent").c_str(), 1);

    {
        std::ofstream data(work + "/firmware.bin", std::ios::binary);
        for (int i = 0; i < 120000; ++i)
            data.put(static_cast<char>(i * 7));
        std::ofstream script(work + "/flash.sld");
        script << "; example flashing script\n_TC \"^M\"\n_LF firmware.bin\n_LA 80000000\n_LV 1.08\n_LD\n";
    }
    // Relative names in the script, as an operator's scripts have them.
    std::filesystem::current_path(work);

    int rc = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Brimwell"));
        QApplication::setApplicationDisplayName(QStringLiteral("Brimwell"));
        DocDialogs dialogs;
        dialogs.script = QString::fromStdString(work + "/flash.sld");
        app::setDialogs(&dialogs);

        app::MainWindow form(QString::fromStdString(work + "/LoaderDefault.ini"));
        form.show();
        if (!waitFor([&] { return form.startupFinished(); }, 60000)) rc = 1;
        waitFor([] { return false; }, 300);
        if (!save(&form, out + "/main-window.png")) rc = 1;

        bool during = false;
        QTimer snap;
        snap.setInterval(5);
        QObject::connect(&snap, &QTimer::timeout, [&] {
            if (during || !form.progressForm->isVisible() || form.progressForm->fileProgressBar->value() < 25)
                return;
            during = true;
            snap.stop();
            if (!save(&form, out + "/main-window-uploading.png")) rc = 1;
            if (!save(form.progressForm, out + "/progress-window.png")) rc = 1;
        });
        snap.start();
        form.pickButton->click();
        if (!during) {
            std::fprintf(stderr, "render-docs: the upload never got under way\n");
            rc = 1;
        }
        if (!stream.empty()) {
            // The pane switched to VT100 through its menu: the window grows to its whole 80 x 24
            // screen, here with a program's screen.
            if (auto* vt100 = form.findChild<QAction*>(QStringLiteral("EmulationVT100"))) vt100->trigger();
            form.terminalPane->writeString(stream);
            waitFor([] { return false; }, 600);
            if (!save(&form, out + "/terminal-vt100.png")) rc = 1;
        }
        app::setDialogs(nullptr);

        // Both splash variants, as setting 23 = 0 and 100 choose them.
        for (const auto& [brand, name] :
             {std::pair{"0", "splash-quellmark.png"}, std::pair{"100", "splash-qxr.png"}}) {
            std::ofstream ini(work + "/splash.ini");
            for (int n = 1; n <= 23; ++n)
                ini << "S" << n << "=" << (n == 23 ? brand : "") << "\n";
            ini.close();
            QWidget mainForm, progressForm;
            app::SplashForm splash(&mainForm, &progressForm, QString::fromStdString(work + "/splash.ini"));
            if (!save(&splash, out + "/" + name)) rc = 1;
        }
    }
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    std::filesystem::remove_all(work);
    return rc;
}
