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
    // Shows the sections of this sign-in state from now on, whatever the
    // model's: for measuring a state the window is not in.
    void showAs(bool signedIn);

protected:
    using ModelSignal = void (DesktopAppModel::*)();

    // `watched`: the change signals of the fields the screen shows. The
    // subclass calls refresh() at the end of its own constructor.
    DesktopScreenView(DesktopAppModel& model, const QString& name, std::initializer_list<ModelSignal> watched,
                      QWidget* parent);

    virtual void refresh() = 0;
    // Whether the sections to show are the signed-in ones.
    bool shownSignedIn() const;

    QPointer<DesktopAppModel> model_;
    QVBoxLayout* body_;
    // The signed-in state the sections were built for; none before the first build.
    std::optional<bool> builtSignedIn_;
    std::optional<bool> shownAs_;
    DesktopModelObserver* observer_;
};

} // namespace tarnwell
