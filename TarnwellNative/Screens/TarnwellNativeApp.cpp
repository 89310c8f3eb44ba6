#include "Screens/TarnwellNativeApp.hpp"

#include <QApplication>
#include <QPalette>
#include <QFile>
#include <QIcon>
#include <QSettings>
#include <QSocketNotifier>
#include <QVBoxLayout>

#include <cerrno>
#include <csignal>
#include <exception>

#include <sys/socket.h>
#include <unistd.h>

#include "Model/DesktopAppModel.hpp"
#include "Screens/ContentView.hpp"
#include "Screens/DesktopInitializationFailureView.hpp"
#include "Screens/DesktopPlatformServices.hpp"
#include "State/AppPaths.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopSymbols.hpp"

// Resources of a static library are registered by hand.
static void registerWindowResources() { Q_INIT_RESOURCE(window); }

namespace tarnwell {

namespace {

// The selected screen and other window choices live beside the agent's
// state, so that one state folder holds everything of one installation.
std::unique_ptr<QSettings> makeWindowSettings() {
    try {
        const auto file = AppPaths::stateDirectory() / "window.ini";
        return std::make_unique<QSettings>(QString::fromStdString(file.string()), QSettings::IniFormat);
    } catch (const std::exception&) {
        return std::make_unique<QSettings>();
    }
}

// The write end of the socket pair that carries quit signals to the event
// loop; -1 until the listener is set up.
volatile sig_atomic_t quitSignalWriteEnd = -1;

// Runs in whatever thread the signal interrupted, so it only writes one byte
// (async-signal-safe) and keeps errno as it found it. A full socket buffer
// already holds a pending request to quit, so a failed write loses nothing.
extern "C" void forwardQuitSignal(int signal) {
    const int savedErrno = errno;
    const char byte = static_cast<char>(signal);
    if (quitSignalWriteEnd >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(quitSignalWriteEnd, &byte, 1);
    }
    errno = savedErrno;
}

// SIGTERM (the session ends), SIGINT (Ctrl-C) and SIGHUP (the terminal
// closes) reach the event loop through a socket pair; each closes the window,
// so the program ends the way it does when the user closes it: the engine
// stops, pending retries are written and the database is closed. A signal the
// program was started with ignored (nohup) stays ignored.
class QuitSignalListener {
public:
    explicit QuitSignalListener(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends_) != 0) {
            ends_[0] = ends_[1] = -1;
            return;
        }
        notifier_ = std::make_unique<QSocketNotifier>(ends_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { drain(); });
        quitSignalWriteEnd = ends_[1];
        for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
                continue;
            }
            struct sigaction action {};
            action.sa_handler = forwardQuitSignal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            if (::sigaction(signal, &action, &previous_[installed_].action) == 0) {
                previous_[installed_++].signal = signal;
            }
        }
    }

    ~QuitSignalListener() {
        // Once the window is gone a signal ends the program at once again.
        for (int i = 0; i < installed_; ++i) {
            ::sigaction(previous_[i].signal, &previous_[i].action, nullptr);
        }
        quitSignalWriteEnd = -1;
        notifier_.reset();
        for (const int end : ends_) {
            if (end >= 0) ::close(end);
        }
    }

    QuitSignalListener(const QuitSignalListener&) = delete;
    QuitSignalListener& operator=(const QuitSignalListener&) = delete;

private:
    void drain() {
        char bytes[64];
        while (::read(ends_[0], bytes, sizeof bytes) > 0) {
        }
        onSignal_();
    }

    struct Previous {
        int signal = 0;
        struct sigaction action {};
    };

    std::function<void()> onSignal_;
    int ends_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    Previous previous_[3];
    int installed_ = 0;
};

} // namespace

void TarnwellNativeApp::configureApplication() {
    registerWindowResources();
    QCoreApplication::setOrganizationName(QStringLiteral("Tarnwell"));
    QCoreApplication::setApplicationName(QStringLiteral("TarnwellNative"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Tarnwell"));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(applicationId));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/tarnwell/app-icon.svg")));
    DesktopSymbols::installIconTheme();
    QApplication::setFont(DesktopFonts::system(13, QFont::Normal));
    // The window is drawn light whatever the desktop's theme: text and fields
    // left to the desktop's colours would turn white on the white panels
    // under a dark theme.
    QPalette palette = QApplication::palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Window, DesktopPalette::page());
        palette.setColor(group, QPalette::Base, Qt::white);
        palette.setColor(group, QPalette::AlternateBase, DesktopPalette::surface());
        palette.setColor(group, QPalette::Button, Qt::white);
        palette.setColor(group, QPalette::ToolTipBase, Qt::white);
        for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText,
                                               QPalette::ToolTipText, QPalette::HighlightedText}) {
            palette.setColor(group, role, group == QPalette::Disabled ? DesktopPalette::muted() : DesktopPalette::text());
        }
        palette.setColor(group, QPalette::PlaceholderText, DesktopPalette::muted());
        palette.setColor(group, QPalette::Highlight, DesktopPalette::accent());
    }
    QApplication::setPalette(palette);
}

TarnwellNativeApp::TarnwellNativeApp(QObject* parent) : QObject(parent), settings_(makeWindowSettings()) {
    auto chooser = std::make_shared<DesktopFolderChooser>();
    DesktopAppModel::Options options;
    options.folderChooser = chooser;
    options.urlOpener = std::make_shared<DesktopURLOpener>();
    try {
        model_ = std::make_unique<DesktopAppModel>(options);
    } catch (const std::exception& error) {
        initializationError_ = QString::fromUtf8(error.what());
    } catch (...) {
        initializationError_.clear(); // the failure screen's own sentence
    }

    window_ = std::make_unique<QWidget>();
    window_->setObjectName(QStringLiteral("mainWindow"));
    window_->setWindowTitle(tr("Tarnwell"));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    if (model_) {
        layout->addWidget(new ContentView(*model_, *settings_));
    } else {
        layout->addWidget(new DesktopInitializationFailureView(initializationError_));
    }
    chooser->setParentWindow(window_.get());
    window_->resize(1280, 860);
}

TarnwellNativeApp::~TarnwellNativeApp() {
    // The views go before the model they read.
    window_.reset();
    model_.reset();
}

void TarnwellNativeApp::showAndActivate() {
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void TarnwellNativeApp::close() {
    window_->close();
    // A dialog open over the window runs an event loop of its own; leaving
    // every loop ends the program even then.
    QCoreApplication::exit(0);
}

int TarnwellNativeApp::main(int argc, char** argv) {
    QApplication application(argc, argv);
    configureApplication();
    // Listening before the model is built: a signal that comes while it is
    // being built closes the window as soon as the event loop runs.
    TarnwellNativeApp* running = nullptr;
    QuitSignalListener listener([&running] {
        if (running) running->close();
    });
    TarnwellNativeApp app;
    running = &app;
    app.showAndActivate();
    const int status = QApplication::exec();
    running = nullptr;
    return status;
}

} // namespace tarnwell
