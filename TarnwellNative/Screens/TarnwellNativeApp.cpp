#include "Screens/TarnwellNativeApp.hpp"

#include <QApplication>
#include <QPalette>
#include <QFile>
#include <QIcon>
#include <QSettings>
#include <QVBoxLayout>

#include <exception>

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

int TarnwellNativeApp::main(int argc, char** argv) {
    QApplication application(argc, argv);
    configureApplication();
    TarnwellNativeApp app;
    app.showAndActivate();
    return QApplication::exec();
}

} // namespace tarnwell
