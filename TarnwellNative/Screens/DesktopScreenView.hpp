// What the three screens share: the model they read, the column they build
// their sections in (again whenever the signed-in state changes), and at most
// one refresh per frame for the model fields they show.
#pragma once

#include <QPointer>
#include <QString>
#include <QVBoxLayout>
#include <QWidget>

#include <initializer_list>
#include <optional>

#include "Model/DesktopAppModel.hpp"

namespace tarnwell {

class DesktopModelObserver;

class DesktopScreenView : public QWidget {
    Q_OBJECT
public:
    // Applies the model's current state now instead of at the next frame.
    void refreshNow();

protected:
    using ModelSignal = void (DesktopAppModel::*)();

    // `watched`: the change signals of the fields the screen shows. The
    // subclass calls refresh() at the end of its own constructor.
    DesktopScreenView(DesktopAppModel& model, const QString& name, std::initializer_list<ModelSignal> watched,
                      QWidget* parent);

    virtual void refresh() = 0;

    QPointer<DesktopAppModel> model_;
    QVBoxLayout* body_;
    // The signed-in state the sections were built for; none before the first build.
    std::optional<bool> builtSignedIn_;
    DesktopModelObserver* observer_;
};

} // namespace tarnwell
