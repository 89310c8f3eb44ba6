// The whole window's scenes of tarnwell-render.
#pragma once

#include <QDir>
#include <QStringList>

namespace tarnwell::render {

// Writes window-*.png into `output` (only the named ones when `only` is not
// empty); returns the process exit code.
int renderWindowScenes(const QDir& output, const QStringList& only);

} // namespace tarnwell::render
