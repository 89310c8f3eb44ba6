// The scenes of tarnwell-render: one function per scene, in one table.
#pragma once

#include <QDir>
#include <QSize>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

class QWidget;

namespace tarnwell::testing {
class DesktopModelHarness;
}

namespace tarnwell::render {

// What every scene can use: the model against the emulator, a folder of
// documents to sync.
struct RenderContext {
    testing::DesktopModelHarness& harness;
    std::filesystem::path documents;
};

struct Scene {
    QString name;
    int width;  // the height follows the content
    // Brings the model into the scene's state and builds the widget to draw.
    std::function<std::unique_ptr<QWidget>(RenderContext&)> build;
};

// The view kit's scenes, in order.
std::vector<Scene> viewKitScenes();

// Renders `scenes` (all of them when `only` is empty) into `output`.
// Returns the process exit code.
int renderScenes(const std::vector<Scene>& scenes, const QDir& output, const QStringList& only);
int renderAll(const QDir& output, const QStringList& only);

// Draws `widget` at `width` on the page colour and writes it as PNG.
bool renderToPNG(QWidget& widget, int width, const QString& path);

}  // namespace tarnwell::render
