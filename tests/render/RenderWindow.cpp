// The whole window's scenes of tarnwell-render: every screen signed out,
// every screen signed in with synced files and a failed upload (at the
// default size and as tall as the page, at the smallest size and with the
// widest sidebar), the folder replacement question, and the
// initialization-failure screen.
#include "RenderWindow.hpp"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QScrollArea>

#include <cstdio>

#include "Screens/ContentView.hpp"
#include "ViewKit/DesktopDetailScaffold.hpp"
#include "window/WindowHarness.hpp"

using namespace tarnwell;
using namespace tarnwell::testing;

namespace {

QStringList wanted;

bool save(QWidget* widget, const QDir& folder, const QString& name, int height = -1) {
    if (!wanted.isEmpty() && !wanted.contains(name)) return true;
    settle(250);
    const QString file = folder.filePath(name + QStringLiteral(".png"));
    const QRect area = height > 0 ? QRect(0, 0, widget->width(), height) : widget->rect();
    const bool saved = widget->grab(area).save(file);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(file));
    return saved;
}

// Each screen at the default size and, scrolled nowhere, as tall as it gets.
bool renderScreens(WindowHarness& harness, const QDir& folder, const QString& suffix) {
    auto* content = harness.window()->findChild<ContentView*>();
    bool ok = content != nullptr;
    for (DesktopDestination destination : desktop_destination::allCases) {
        content->setSelectedDestination(destination);
        harness.window()->resize(1280, 860);
        const QString name = QStringLiteral("window-") + desktop_destination::rawValue(destination) + suffix;
        ok = save(harness.window(), folder, name) && ok;
        harness.window()->resize(1280, 3200);
        settle(250);
        QWidget* screen = content->scaffold()->content();
        const int bottom = screen->mapTo(harness.window(), QPoint(0, screen->height())).y() + 28;
        ok = save(harness.window(), folder, name + QStringLiteral("-full"), std::max(860, bottom)) && ok;
    }
    harness.window()->resize(1280, 860);
    return ok;
}

// Each screen at the smallest window, then with the divider dragged as far
// right as it goes.
bool renderSmallest(WindowHarness& harness, const QDir& folder, const QString& suffix) {
    auto* content = harness.window()->findChild<ContentView*>();
    bool ok = true;
    harness.window()->resize(1120, 760);
    settle(100);
    for (const QString& width : {QStringLiteral("-1120"), QStringLiteral("-wide-sidebar")}) {
        if (width == QStringLiteral("-wide-sidebar")) harness.dragDividerTo(1120);
        for (DesktopDestination destination : desktop_destination::allCases) {
            content->setSelectedDestination(destination);
            ok = save(harness.window(), folder,
                      QStringLiteral("window-") + desktop_destination::rawValue(destination) + suffix + width) &&
                 ok;
        }
    }
    harness.dragDividerTo(320);
    harness.window()->resize(1280, 860);
    return ok;
}

bool renderSignedOut(const QDir& folder) {
    WindowHarness harness;
    harness.open();
    spinUntil([&] { return harness.model()->didBootstrap(); });
    bool ok = renderScreens(harness, folder, QStringLiteral("-signed-out"));
    return renderSmallest(harness, folder, QStringLiteral("-signed-out")) && ok;
}

bool renderSignedIn(const QDir& folder) {
    WindowHarness harness;
    harness.documents.write("Projects/atlas/brief.md", "# Atlas\n");
    harness.documents.write("Projects/atlas/budget.csv", "item,cost\nrent,10\n");
    harness.documents.write("Research/papers/notes.txt", "reading list\n");
    harness.documents.write("Research/papers/summary.md", "summary\n");
    harness.documents.write("Research/setup.exe", "MZ");
    harness.open();
    DesktopAppModel* model = harness.model();
    spinUntil([&] { return model->didBootstrap(); });
    model->setEmail(QString::fromLatin1(WindowHarness::email));
    model->setPassword(QString::fromLatin1(WindowHarness::password));
    const auto login = model->login();
    spinUntil([&] { return login.isFinished(); });
    harness.chooser->next = QString::fromStdString((harness.documents.path() / "Projects").string());
    model->addFolder();
    harness.chooser->next = QString::fromStdString((harness.documents.path() / "Research").string());
    model->addFolder();
    model->setMode(SyncMode::ultra);
    const auto start = model->startSync();
    spinUntil([&] { return start.isFinished(); }, 60000);
    for (const auto& file : harness.backend.files()) {
        if (file["path"] == "atlas/budget.csv") {
            harness.backend.failIngestForKey(file["storage_key"], "Parser could not read the table");
        }
    }
    harness.backend.runWorker();
    const auto refresh = model->refreshStatus();
    spinUntil([&] { return refresh.isFinished(); });
    bool ok = renderScreens(harness, folder, QStringLiteral("-signed-in"));
    ok = renderSmallest(harness, folder, QStringLiteral("-signed-in")) && ok;

    auto* content = harness.window()->findChild<ContentView*>();
    content->setSelectedDestination(DesktopDestination::sync);
    model->chooseRootFolder();
    if (spinUntil([&] { return content->folderReplacementAlert() != nullptr; }, 5000)) {
        ok = save(content->folderReplacementAlert(), folder, QStringLiteral("window-replace-question")) && ok;
        content->folderReplacementAlert()->reject();
    }
    return ok;
}

// Signed in with the longest common texts, on every screen, at the smallest
// window and at the default size, then at the smallest with the divider
// dragged as far right as it goes.
bool renderLongTexts(const QDir& folder) {
    WindowHarness harness;
    harness.open();
    if (!harness.signInWithLongTexts()) {
        std::printf("FAILED to reach the long-text state\n");
        return false;
    }
    auto* content = harness.window()->findChild<ContentView*>();
    bool ok = true;
    const QList<std::pair<QSize, QString>> sizes{{QSize(1120, 760), QStringLiteral("1120")},
                                                 {QSize(1280, 860), QStringLiteral("1280")}};
    for (const auto& [size, sizeName] : sizes) {
        for (DesktopDestination destination : desktop_destination::allCases) {
            content->setSelectedDestination(destination);
            harness.window()->resize(size);
            const QString name =
                QStringLiteral("window-") + desktop_destination::rawValue(destination) + "-long-" + sizeName;
            ok = save(harness.window(), folder, name) && ok;
            harness.window()->resize(size.width(), 3200);
            settle(250);
            QWidget* screen = content->scaffold()->content();
            const int bottom = screen->mapTo(harness.window(), QPoint(0, screen->height())).y() + 28;
            ok = save(harness.window(), folder, name + QStringLiteral("-full"), std::max(size.height(), bottom)) && ok;
        }
    }
    harness.window()->resize(1120, 760);
    settle(100);
    harness.dragDividerTo(1120);
    for (DesktopDestination destination : desktop_destination::allCases) {
        content->setSelectedDestination(destination);
        ok = save(harness.window(), folder,
                  QStringLiteral("window-") + desktop_destination::rawValue(destination) + "-long-wide-sidebar") &&
             ok;
    }
    return ok;
}

bool renderFailure(const QDir& folder) {
    WindowHarness harness;
    harness.state.write("state.sqlite3", std::string(4096, 'x'));
    harness.open();
    bool ok = save(harness.window(), folder, QStringLiteral("window-failure"));
    harness.window()->resize(640, 320);
    ok = save(harness.window(), folder, QStringLiteral("window-failure-smallest")) && ok;
    return ok;
}

} // namespace

namespace tarnwell::render {

int renderWindowScenes(const QDir& output, const QStringList& only) {
    wanted = only;
    TarnwellNativeApp::configureApplication();
    bool ok = renderSignedOut(output);
    ok = renderSignedIn(output) && ok;
    ok = renderLongTexts(output) && ok;
    ok = renderFailure(output) && ok;
    return ok ? 0 : 1;
}

} // namespace tarnwell::render
