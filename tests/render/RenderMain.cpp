// tarnwell-render OUTPUT_DIR [SCENE...]
//
// Renders the view kit's components, the detail scaffold and the cards in
// their main states to OUTPUT_DIR/<scene>.png, offscreen, with an application
// model that talks to an in-process backend emulator and keeps its state in a
// temporary folder. Scenes run in table order, because later scenes build on
// the model state of earlier ones (signed out, signed in, syncing). With
// SCENE names given, only those are written (the others still run).
#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "RenderScenes.hpp"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: tarnwell-render OUTPUT_DIR [SCENE...]\n");
        return 2;
    }
    const QDir output(args.at(1));
    if (!QDir().mkpath(output.absolutePath())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(output.absolutePath()));
        return 1;
    }
    const QStringList only = args.mid(2);
    return tarnwell::render::renderAll(output, only);
}
