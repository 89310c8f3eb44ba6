// Plain text that the user can select and copy, wrapping anywhere (long
// paths without spaces included), exactly as tall as its lines.
#pragma once

#include <QTextEdit>

namespace tarnwell {

class DesktopSelectableText : public QTextEdit {
    Q_OBJECT
public:
    DesktopSelectableText(const QString& text, const QFont& font, const QColor& colour,
                          QWidget* parent = nullptr);

    QString text() const { return toPlainText(); }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
};

}  // namespace tarnwell
