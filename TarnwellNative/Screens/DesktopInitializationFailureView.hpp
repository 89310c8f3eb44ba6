// What the window shows when the application model can't be built: the
// reason, on the page background, with no way further.
#pragma once

#include <QString>
#include <QWidget>

namespace tarnwell {

class DesktopInitializationFailureView : public QWidget {
    Q_OBJECT
public:
    // An empty `error` shows the generic sentence instead.
    explicit DesktopInitializationFailureView(const QString& error, QWidget* parent = nullptr);

    // The text shown under the headline.
    QString errorText() const { return errorText_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString errorText_;
};

} // namespace tarnwell
