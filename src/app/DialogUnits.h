#pragma once
// Dialog-template geometry: positions in dialog units, scaled by the dialog's font as the
// Windows dialog manager does (a horizontal unit is a quarter of the average character
// width, a vertical unit an eighth of the character height).
#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QSize>

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font) {
        QFontMetrics fm(font);
        const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        m_cx = (fm.horizontalAdvance(alphabet) / 26 + 1) / 2;
        m_cy = fm.height();
    }
    int X(int du) const { return (du * m_cx + 2) / 4; }
    int Y(int du) const { return (du * m_cy + 4) / 8; }
    QRect Rect(int x, int y, int w, int h) const { return QRect(X(x), Y(y), X(w), Y(h)); }
    QSize Size(int w, int h) const { return QSize(X(w), Y(h)); }

private:
    int m_cx = 8;
    int m_cy = 16;
};
